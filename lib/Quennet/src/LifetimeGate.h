#pragma once

#include <condition_variable>
#include <mutex>

// Lets callbacks that may outlive an object reach it only while it exists.
//
// A call in flight holds no lock, only a count: the object's methods may then wait on other locks
// (a driver busy with a long operation that reports progress through another callback) without
// forming a lock-order cycle with this gate. close() lets no new call through and returns once the
// calls in flight have returned. The thread calling close() must not hold a pass itself.
template <class T> class LifetimeGate {
public:
    explicit LifetimeGate(T* target) : mTarget(target) {}
    LifetimeGate(const LifetimeGate&) = delete;
    LifetimeGate& operator=(const LifetimeGate&) = delete;

    // Keeps the target alive for one call; empty once the gate is closed.
    class Pass {
    public:
        explicit Pass(LifetimeGate& gate) : mGate(gate) {
            std::lock_guard<std::mutex> lock(gate.mMutex);
            mTarget = gate.mTarget;
            if (mTarget)
                ++gate.mActive;
        }
        ~Pass() {
            if (!mTarget)
                return;
            std::lock_guard<std::mutex> lock(mGate.mMutex);
            if (--mGate.mActive == 0)
                mGate.mIdle.notify_all();
        }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

        explicit operator bool() const { return mTarget != nullptr; }
        T* operator->() const { return mTarget; }
        T& operator*() const { return *mTarget; }

    private:
        LifetimeGate& mGate;
        T* mTarget = nullptr;
    };

    void close() {
        std::unique_lock<std::mutex> lock(mMutex);
        mTarget = nullptr;
        mIdle.wait(lock, [this] { return mActive == 0; });
    }

private:
    std::mutex mMutex;
    std::condition_variable mIdle;
    T* mTarget;
    int mActive = 0;
};
