#pragma once

#include "MQTTClientListener.h"

#include <mqtt/iaction_listener.h>

// Reports a failed connect attempt with its reason text; success arrives through the client callback.
class MQTTConnectListener : public mqtt::iaction_listener {
public:
    explicit MQTTConnectListener(MQTTClientListener* listener) : mListener(listener) {}
    ~MQTTConnectListener() override = default;

    void on_failure(const mqtt::token& token) override;
    void on_success(const mqtt::token& token) override;

private:
    MQTTClientListener* mListener;
};
