#include "MqttTestClient.h"

namespace corvane::test {

MqttTestClient::MqttTestClient(const std::string& url, const std::string& clientId,
                               const std::string& username, const std::string& password)
    : mClient(url, clientId) {
    mOptions.set_clean_session(true);
    mOptions.set_keep_alive_interval(20);
    mOptions.set_connect_timeout(5);
    mOptions.set_user_name(username);
    mOptions.set_password(password);
    mClient.set_callback(*this);
}

MqttTestClient::~MqttTestClient() {
    disconnect();
    mClient.disable_callbacks();
}

bool MqttTestClient::connect(std::chrono::milliseconds limit) {
    try {
        return mClient.connect(mOptions)->wait_for(limit);
    } catch (const mqtt::exception&) {
        return false;
    }
}

bool MqttTestClient::subscribe(const std::string& topic, int qos) {
    try {
        return mClient.subscribe(topic, qos)->wait_for(DefaultWait);
    } catch (const mqtt::exception&) {
        return false;
    }
}

bool MqttTestClient::publish(const std::string& topic, const std::string& payload, int qos, bool retained) {
    try {
        return mClient.publish(topic, payload.data(), payload.size(), qos, retained)->wait_for(DefaultWait);
    } catch (const mqtt::exception&) {
        return false;
    }
}

void MqttTestClient::disconnect() {
    try {
        if (mClient.is_connected())
            mClient.disconnect()->wait_for(DefaultWait);
    } catch (const mqtt::exception&) {
    }
}

void MqttTestClient::message_arrived(mqtt::const_message_ptr message) {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mMessages.push_back(
            {message->get_topic(), message->to_string(), message->get_qos(), message->is_retained()});
    }
    mArrived.notify_all();
}

std::size_t MqttTestClient::mark() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mMessages.size();
}

std::optional<ReceivedMessage> MqttTestClient::waitFor(const std::string& topic, std::size_t from,
                                                       std::chrono::milliseconds limit) {
    return waitFor([&](const ReceivedMessage& m) { return m.topic == topic; }, from, limit);
}

std::optional<ReceivedMessage>
MqttTestClient::waitFor(const std::function<bool(const ReceivedMessage&)>& match, std::size_t from,
                        std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mMutex);
    std::optional<ReceivedMessage> found;
    mArrived.wait_for(lock, limit, [&] {
        for (std::size_t i = from; i < mMessages.size(); ++i)
            if (match(mMessages[i])) {
                found = mMessages[i];
                return true;
            }
        return false;
    });
    return found;
}

std::vector<ReceivedMessage> MqttTestClient::waitForCount(const std::string& topic, std::size_t count,
                                                          std::size_t from, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mMutex);
    auto matching = [&] {
        std::vector<ReceivedMessage> result;
        for (std::size_t i = from; i < mMessages.size(); ++i)
            if (mMessages[i].topic == topic)
                result.push_back(mMessages[i]);
        return result;
    };
    mArrived.wait_for(lock, limit, [&] { return matching().size() >= count; });
    return matching();
}

std::vector<ReceivedMessage> MqttTestClient::messages(const std::string& topic, std::size_t from) const {
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<ReceivedMessage> result;
    for (std::size_t i = from; i < mMessages.size(); ++i)
        if (mMessages[i].topic == topic)
            result.push_back(mMessages[i]);
    return result;
}

std::vector<ReceivedMessage> MqttTestClient::all() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mMessages;
}

} // namespace corvane::test
