#include "MQTTConnectListener.h"

#include "MQTTClient.h"

#include <mqtt/token.h>

void MQTTConnectListener::on_failure(const mqtt::token& token) {
    if (mListener)
        mListener->onConnectFailed(MQTTClient::connectFailureReason(token.get_return_code()));
}

// A successful connection is reported once, by the client callback.
void MQTTConnectListener::on_success(const mqtt::token&) {}
