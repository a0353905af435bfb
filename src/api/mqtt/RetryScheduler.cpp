#include "api/mqtt/RetryScheduler.h"

namespace zelmo::Corvane::API::MQTT {

RetryScheduler::RetryScheduler(std::chrono::milliseconds delay)
    : mDelay(delay), mThread([this](std::stop_token stop) { run(stop); }) {}

RetryScheduler::~RetryScheduler() {
    mThread.request_stop();
    mThread.join();
}

void RetryScheduler::schedule(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mEntries.push_back({std::chrono::steady_clock::now() + mDelay, std::move(task)});
    }
    mChanged.notify_all();
}

void RetryScheduler::cancel() {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mEntries.clear();
    }
    mChanged.notify_all();
}

void RetryScheduler::run(std::stop_token stop) {
    std::unique_lock<std::mutex> lock(mMutex);
    while (!stop.stop_requested()) {
        if (mEntries.empty()) {
            mChanged.wait(lock, stop, [this] { return !mEntries.empty(); });
            continue;
        }
        const auto due = mEntries.front().due;
        if (std::chrono::steady_clock::now() < due) {
            mChanged.wait_until(lock, stop, due,
                                [&] { return mEntries.empty() || mEntries.front().due != due; });
            continue;
        }
        auto task = std::move(mEntries.front().task);
        mEntries.pop_front();
        lock.unlock();
        task();
        lock.lock();
    }
}

} // namespace zelmo::Corvane::API::MQTT
