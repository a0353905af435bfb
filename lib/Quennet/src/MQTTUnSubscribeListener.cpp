#include "MQTTUnSubscribeListener.h"

#include "MQTTTokenTopic.h"

void MQTTUnSubscribeListener::on_failure(const mqtt::token& token) {
    if (mListener)
        mListener->onUnsubscribeFailed(firstTopicOf(token));
}

void MQTTUnSubscribeListener::on_success(const mqtt::token& token) {
    if (mListener)
        mListener->onUnsubscribed(firstTopicOf(token));
}
