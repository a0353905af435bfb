#include "MQTTSubscribeListener.h"

#include "MQTTTokenTopic.h"

void MQTTSubscribeListener::on_failure(const mqtt::token& token) {
    if (mListener)
        mListener->onSubscribeFailed(firstTopicOf(token));
}

void MQTTSubscribeListener::on_success(const mqtt::token& token) {
    if (mListener)
        mListener->onSubscribed(firstTopicOf(token));
}
