#pragma once

#include "MQTTClientListener.h"

#include <mqtt/iaction_listener.h>

// Reports the outcome of a publish request with its message id.
class MQTTPublishListener : public mqtt::iaction_listener {
public:
    explicit MQTTPublishListener(MQTTClientListener* listener) : mListener(listener) {}
    ~MQTTPublishListener() override = default;

    void on_failure(const mqtt::token& token) override;
    void on_success(const mqtt::token& token) override;

private:
    MQTTClientListener* mListener;
};
