#pragma once

#include "MQTTClientListener.h"

#include <mqtt/iaction_listener.h>

// Reports the outcome of a subscribe request with its (first) topic.
class MQTTSubscribeListener : public mqtt::iaction_listener {
public:
    explicit MQTTSubscribeListener(MQTTClientListener* listener) : mListener(listener) {}
    ~MQTTSubscribeListener() override = default;

    void on_failure(const mqtt::token& token) override;
    void on_success(const mqtt::token& token) override;

private:
    MQTTClientListener* mListener;
};
