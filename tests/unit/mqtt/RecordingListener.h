#pragma once

#include "MQTTClientListener.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Records every listener call as one text line ("connected", "failed:<reason>", "message:<topic>=<payload>").
class RecordingListener : public MQTTClientListener {
public:
    void onConnected() override { add("connected"); }
    void onDisconnected() override { add("disconnected"); }
    void onSubscribed(const std::string& topic) override { add("subscribed:" + topic); }
    void onUnsubscribed(const std::string& topic) override { add("unsubscribed:" + topic); }
    void onMessageSent(int) override { add("sent"); }
    void onMessageDelivered(int) override { add("delivered"); }
    void onMessageReceived(const std::string& topic, const std::string& payload, int, bool) override {
        add("message:" + topic + "=" + payload);
    }
    void onConnectFailed(const std::string& reason) override {
        add("failed:" + reason);
        if (onFailure)
            onFailure();
    }
    void onSubscribeFailed(const std::string& topic) override { add("subscribeFailed:" + topic); }
    void onUnsubscribeFailed(const std::string& topic) override { add("unsubscribeFailed:" + topic); }
    void onMessageSendFailed(int) override { add("sendFailed"); }

    std::size_t count(const std::string& event) const {
        std::lock_guard<std::mutex> lock(mMutex);
        std::size_t n = 0;
        for (const auto& e : mEvents)
            n += e == event;
        return n;
    }
    std::size_t countPrefix(const std::string& prefix) const {
        std::lock_guard<std::mutex> lock(mMutex);
        std::size_t n = 0;
        for (const auto& e : mEvents)
            n += e.rfind(prefix, 0) == 0;
        return n;
    }
    std::vector<std::string> events() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mEvents;
    }
    bool waitFor(const std::function<bool()>& condition,
                 std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mMutex);
        return mChanged.wait_for(lock, limit, [&] {
            lock.unlock();
            const bool done = condition();
            lock.lock();
            return done;
        });
    }
    bool waitCount(const std::string& event, std::size_t n,
                   std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return waitFor([&] { return count(event) >= n; }, limit);
    }

    // Runs after a connect failure was recorded (on the library's thread).
    std::function<void()> onFailure;

private:
    void add(std::string event) {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mEvents.push_back(std::move(event));
        }
        mChanged.notify_all();
    }
    mutable std::mutex mMutex;
    std::condition_variable mChanged;
    std::vector<std::string> mEvents;
};
