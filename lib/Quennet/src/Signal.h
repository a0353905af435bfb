#pragma once

#include "Semaphore.h"

#include <functional>
#include <map>
#include <mutex>

// Multi-subscriber callback list. Slots run on the emitting thread, in connection order, while the
// signal's guard is held: a slot must not connect to, disconnect from or emit the same signal.
template <typename... Args>
class Signal {
public:
    using Slot = std::function<void(Args...)>;

    Signal() = default;
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    int connect(const Slot& fn) const {
        std::lock_guard<std::mutex> lock(mGuard);
        const int id = ++mLastId;
        mSlots.emplace(id, fn);
        return id;
    }

    template <typename T>
    int connect_member(T* object, void (T::*method)(Args...)) const {
        return connect([object, method](Args... args) { (object->*method)(args...); });
    }

    void disconnect(int id) const {
        std::lock_guard<std::mutex> lock(mGuard);
        mSlots.erase(id);
    }

    // A slot that throws ends the emission; the exception reaches the emitter.
    void emit(Args... args) const {
        std::lock_guard<std::mutex> lock(mGuard);
        struct PostOnExit {
            Semaphore& sem;
            ~PostOnExit() { sem.Post(1); }
        } post{mEmitted};
        for (auto& [id, slot] : mSlots)
            slot(args...);
    }

    // Waits until an emission has completed since the last wait (ms < 0: no limit).
    bool waitEmitted(int ms) const { return mEmitted.Wait(ms); }

private:
    mutable std::map<int, Slot> mSlots;
    mutable int mLastId = 0;
    mutable Semaphore mEmitted{"", 0, 1};
    mutable std::mutex mGuard;
};
