#include "MQTTDisconnectListener.h"

#include "Log.h"

#include <mqtt/token.h>

void MQTTDisconnectListener::on_failure(const mqtt::token&) {
    Log::error("[MQTTClient] Disconnect failed.");
}

void MQTTDisconnectListener::on_success(const mqtt::token&) {
    if (mListener)
        mListener->onDisconnected();
}
