#pragma once

#include "Signal.h"

#include <functional>
#include <memory>

// Runs a callback once or periodically on the timer's own thread. Times are milliseconds and
// follow the wall clock.
//
// At most one tick thread exists per timer: a start() that follows stop() before the thread has
// ended lets that thread carry on with a new run. The stop signal is emitted once at the end of
// every run (stop() or single-shot expiry). start() and stop() may be called from any thread,
// including the callback and the slots. The destructor stops the timer and waits for its thread
// (when the timer is destroyed from its own callback or slot, the thread is left to finish on its
// own). A timer being destroyed emits nothing more, not even the stop signal: its slots may refer
// to the owner that is going away.
class Timer {
    struct State;

public:
    enum Type : int { SingleShot = 0, Periodic = 1 };

    explicit Timer(Type type);
    Timer(Type type, void (*callback)(void*), void* userData);
    Timer(Type type, const std::function<void()>& onExpiry, const std::function<void()>& onStop);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Starts the timer, or restarts the current period with the new interval when it runs.
    Timer& start(int ms);
    // Returns the stop signal so that a caller can connect to it.
    const Signal<>& stop();
    bool running() const;
    int interval() const;
    Type type() const;
    // Emits the expiry signal and calls the callback at once, on the caller's thread.
    void notify();

private:
    std::shared_ptr<State> mState;

public:
    Signal<>& expired; // emitted at every expiry, on the timer thread
    Signal<>& stopped; // emitted once when a run ends, on the timer thread
};
