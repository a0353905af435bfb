#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace zelmo::Corvane::API::MQTT {

// Runs tasks on its own thread a fixed delay after they were scheduled, in scheduling order. Keeps
// the retry pauses of the MQTT service off the MQTT library's callback thread; cancel() and the
// destructor end every wait at once.
class RetryScheduler {
public:
    explicit RetryScheduler(std::chrono::milliseconds delay);
    ~RetryScheduler();
    RetryScheduler(const RetryScheduler&) = delete;
    RetryScheduler& operator=(const RetryScheduler&) = delete;

    void schedule(std::function<void()> task);
    // Drops every task that has not started yet.
    void cancel();
    std::chrono::milliseconds delay() const { return mDelay; }

private:
    void run(std::stop_token stop);

    struct Entry {
        std::chrono::steady_clock::time_point due;
        std::function<void()> task;
    };

    const std::chrono::milliseconds mDelay;
    std::mutex mMutex;
    std::condition_variable_any mChanged;
    std::deque<Entry> mEntries;
    std::jthread mThread;
};

} // namespace zelmo::Corvane::API::MQTT
