#pragma once

#include "MQTTClientListener.h"

#include <mqtt/iaction_listener.h>

// Reports the end of a requested disconnect.
class MQTTDisconnectListener : public mqtt::iaction_listener {
public:
    explicit MQTTDisconnectListener(MQTTClientListener* listener) : mListener(listener) {}
    ~MQTTDisconnectListener() override = default;

    void on_failure(const mqtt::token& token) override;
    void on_success(const mqtt::token& token) override;

private:
    MQTTClientListener* mListener;
};
