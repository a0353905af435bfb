#pragma once

#include "MosquittoBroker.h"

#include <mqtt/async_client.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace corvane::test {

struct ReceivedMessage {
    std::string topic;
    std::string payload;
    int qos = 0;
    bool retained = false;
};

// A plain MQTT client for tests: records every message it receives and waits for them with
// generous limits.
class MqttTestClient : public mqtt::callback {
public:
    static constexpr std::chrono::seconds DefaultWait{10};

    MqttTestClient(const std::string& url, const std::string& clientId,
                   const std::string& username = MosquittoBroker::Username,
                   const std::string& password = MosquittoBroker::Password);
    ~MqttTestClient() override;

    bool connect(std::chrono::milliseconds limit = DefaultWait);
    bool subscribe(const std::string& topic, int qos = 0);
    bool publish(const std::string& topic, const std::string& payload, int qos = 0, bool retained = false);
    void disconnect();

    // Index of the next message to arrive; pass it as `from` to wait only for later messages.
    std::size_t mark() const;
    std::optional<ReceivedMessage> waitFor(const std::string& topic, std::size_t from = 0,
                                           std::chrono::milliseconds limit = DefaultWait);
    std::optional<ReceivedMessage> waitFor(const std::function<bool(const ReceivedMessage&)>& match,
                                           std::size_t from = 0,
                                           std::chrono::milliseconds limit = DefaultWait);
    // Waits until `count` messages on topic have arrived since `from`; returns all seen.
    std::vector<ReceivedMessage> waitForCount(const std::string& topic, std::size_t count,
                                              std::size_t from = 0,
                                              std::chrono::milliseconds limit = DefaultWait);
    std::vector<ReceivedMessage> messages(const std::string& topic, std::size_t from = 0) const;
    std::vector<ReceivedMessage> all() const;

    mqtt::async_client& client() { return mClient; }

    void message_arrived(mqtt::const_message_ptr message) override;

private:
    mqtt::async_client mClient;
    mqtt::connect_options mOptions;
    mutable std::mutex mMutex;
    std::condition_variable mArrived;
    std::vector<ReceivedMessage> mMessages;
};

} // namespace corvane::test
