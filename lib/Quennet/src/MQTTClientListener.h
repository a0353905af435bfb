#pragma once

#include <string>

// Receives every outcome of the operations of an MQTTClient. Calls arrive on the MQTT library's
// threads, never on the thread that issued the request.
class MQTTClientListener {
public:
    virtual ~MQTTClientListener() = default;

    virtual void onConnected() = 0;
    virtual void onDisconnected() = 0;
    virtual void onSubscribed(const std::string& topic) = 0;
    virtual void onUnsubscribed(const std::string& topic) = 0;
    virtual void onMessageSent(int id) = 0;
    virtual void onMessageDelivered(int id) = 0;
    virtual void onMessageReceived(const std::string& topic, const std::string& payload, int qos,
                                   bool retained) = 0;
    virtual void onConnectFailed(const std::string& reason) = 0;
    virtual void onSubscribeFailed(const std::string& topic) = 0;
    virtual void onUnsubscribeFailed(const std::string& topic) = 0;
    virtual void onMessageSendFailed(int id) = 0;
};
