#include "Timer.h"

#include "Clock.h"
#include "Semaphore.h"

#include <mutex>
#include <thread>

// Everything the tick thread touches; shared with the thread so that a timer destroyed from its own
// callback leaves nothing dangling.
struct Timer::State {
    State(Type t, void (*cb)(void*), void* data) : type(t), callback(cb), userData(data) {}

    Signal<> expired;
    Signal<> stopped;

    mutable std::mutex mutex;
    int interval = 0;
    int remaining = 0;
    bool running = false;
    double periodStart = 0;
    const Type type;
    Semaphore wake{"", 0, 1};
    void (*const callback)(void*);
    void* const userData;

    bool stopRequested = false; // stop() ended the current run; the thread has not seen it yet
    bool threadActive = false;  // a tick thread exists and has not committed to ending
    bool destroyed = false;     // the owning Timer is gone: emit nothing more
    std::thread thread;

    void threadMain();
    // Runs the tick loop once; returns false when the timer was destroyed meanwhile.
    bool runOnce(std::unique_lock<std::mutex>& lock);
};

bool Timer::State::runOnce(std::unique_lock<std::mutex>& lock) {
    for (;;) {
        periodStart = Clock::millis();
        const int wait = remaining;
        lock.unlock();
        wake.Wait(wait);
        lock.lock();

        if (destroyed)
            return false;
        if (stopRequested || !running) {
            stopRequested = false;
            return true;
        }
        const int rest = static_cast<int>(remaining - Clock::elapsedMillis(periodStart));
        if (rest > 0) {
            // Woken early by a restart: wait out what is left of the (new) period.
            remaining = rest;
            continue;
        }

        remaining = 0;
        lock.unlock();
        expired.emit();
        if (callback)
            callback(userData);
        lock.lock();

        if (destroyed)
            return false;
        if (stopRequested) {
            stopRequested = false;
            return true;
        }
        if (type == Periodic) {
            remaining = interval;
            continue;
        }
        if (remaining == 0) {
            running = false;
            return true;
        }
        // The callback started the single-shot timer again.
    }
}

void Timer::State::threadMain() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        if (!runOnce(lock) || destroyed) {
            threadActive = false;
            return;
        }
        lock.unlock();
        stopped.emit();
        lock.lock();
        // Started again while this run was ending: carry on here instead of a second thread.
        if (!running || destroyed) {
            threadActive = false;
            return;
        }
    }
}

Timer::Timer(Type type) : Timer(type, nullptr, nullptr) {}

Timer::Timer(Type type, void (*callback)(void*), void* userData)
    : mState(std::make_shared<State>(type, callback, userData)), expired(mState->expired),
      stopped(mState->stopped) {}

Timer::Timer(Type type, const std::function<void()>& onExpiry, const std::function<void()>& onStop)
    : Timer(type, nullptr, nullptr) {
    if (onExpiry)
        expired.connect(onExpiry);
    if (onStop)
        stopped.connect(onStop);
}

Timer::~Timer() {
    std::thread finished;
    {
        std::lock_guard<std::mutex> lock(mState->mutex);
        mState->destroyed = true;
        mState->running = false;
        mState->wake.Post(1);
        finished = std::move(mState->thread);
    }
    if (!finished.joinable())
        return;
    if (finished.get_id() == std::this_thread::get_id())
        finished.detach(); // destroyed from its own callback: the thread holds the state alive
    else
        finished.join();
}

Timer& Timer::start(int ms) {
    State& s = *mState;
    std::lock_guard<std::mutex> lock(s.mutex);
    s.interval = ms;
    s.remaining = ms;
    if (s.running) {
        s.periodStart = Clock::millis();
        s.wake.Post(1);
        return *this;
    }
    s.running = true;
    if (s.threadActive) {
        // The thread is ending a run (or about to notice a stop); it picks up this start.
        s.periodStart = Clock::millis();
        return *this;
    }
    // Any previous thread has committed to ending and takes no more locks: joining it is quick.
    if (s.thread.joinable())
        s.thread.join();
    s.threadActive = true;
    s.thread = std::thread([state = mState] { state->threadMain(); });
    return *this;
}

const Signal<>& Timer::stop() {
    State& s = *mState;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.running) {
        s.running = false;
        s.stopRequested = true;
        s.wake.Post(1);
    }
    return s.stopped;
}

bool Timer::running() const {
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->running;
}

int Timer::interval() const {
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->interval;
}

Timer::Type Timer::type() const {
    return mState->type;
}

void Timer::notify() {
    mState->expired.emit();
    if (mState->callback)
        mState->callback(mState->userData);
}
