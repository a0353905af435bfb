#pragma once

#include "MQTTClientListener.h"

#include <mqtt/iaction_listener.h>

// Reports the outcome of an unsubscribe request with its (first) topic.
class MQTTUnSubscribeListener : public mqtt::iaction_listener {
public:
    explicit MQTTUnSubscribeListener(MQTTClientListener* listener) : mListener(listener) {}
    ~MQTTUnSubscribeListener() override = default;

    void on_failure(const mqtt::token& token) override;
    void on_success(const mqtt::token& token) override;

private:
    MQTTClientListener* mListener;
};
