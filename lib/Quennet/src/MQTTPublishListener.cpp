#include "MQTTPublishListener.h"

#include <mqtt/token.h>

void MQTTPublishListener::on_failure(const mqtt::token& token) {
    if (mListener)
        mListener->onMessageSendFailed(token.get_message_id());
}

void MQTTPublishListener::on_success(const mqtt::token& token) {
    if (mListener)
        mListener->onMessageSent(token.get_message_id());
}
