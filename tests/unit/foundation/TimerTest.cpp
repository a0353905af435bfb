#include "Timer.h"

#include "Thread.h"
#include "WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

constexpr int kLong = 600000; // an interval no test waits for

// Counts expiries and stop emissions, and how many callbacks ever ran at the same time.
struct Probe {
    std::atomic<int> expiries{0};
    std::atomic<int> stops{0};
    std::atomic<int> active{0};
    std::atomic<int> maxActive{0};
    std::mutex mutex;
    std::set<std::thread::id> threads;

    void attach(Timer& timer) {
        timer.expired.connect([this] { onExpiry(); });
        timer.stopped.connect([this] { ++stops; });
    }
    void onExpiry() {
        const int now = ++active;
        int seen = maxActive.load();
        while (now > seen && !maxActive.compare_exchange_weak(seen, now)) {
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            threads.insert(std::this_thread::get_id());
        }
        ++expiries;
        --active;
    }
    std::size_t threadCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return threads.size();
    }
};

TEST(Timer, PeriodicCallsCallbackRepeatedlyOnItsOwnThread) {
    struct Context {
        std::atomic<int> calls{0};
        std::thread::id thread;
    } context;
    Timer timer(
        Timer::Periodic,
        [](void* data) {
            auto* c = static_cast<Context*>(data);
            c->thread = std::this_thread::get_id();
            ++c->calls;
        },
        &context);
    EXPECT_EQ(timer.type(), Timer::Periodic);
    EXPECT_FALSE(timer.running());
    timer.start(5);
    EXPECT_TRUE(timer.running());
    EXPECT_EQ(timer.interval(), 5);
    EXPECT_TRUE(waitFor([&] { return context.calls >= 3; }));
    timer.stop();
    EXPECT_FALSE(timer.running());
    EXPECT_NE(context.thread, std::this_thread::get_id());
}

TEST(Timer, ExpirySignalRunsBeforeCallback) {
    std::vector<int> order;
    std::mutex mutex;
    auto record = [&](int v) {
        std::lock_guard<std::mutex> lock(mutex);
        order.push_back(v);
    };
    struct Ctx {
        std::function<void(int)> record;
    } ctx{record};
    Timer timer(
        Timer::SingleShot, [](void* d) { static_cast<Ctx*>(d)->record(2); }, &ctx);
    std::atomic<bool> stopped{false};
    timer.expired.connect([&] { record(1); });
    timer.stopped.connect([&] { stopped = true; });
    timer.start(1);
    ASSERT_TRUE(waitFor([&] { return stopped.load(); }));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(Timer, RestartWhileRunningUsesNewIntervalAtOnce) {
    Probe probe;
    Timer timer(Timer::Periodic);
    probe.attach(timer);
    timer.start(kLong);
    std::thread other([&] { timer.start(5); });
    other.join();
    EXPECT_EQ(timer.interval(), 5);
    EXPECT_TRUE(waitFor([&] { return probe.expiries >= 2; }));
    EXPECT_EQ(probe.stops, 0);
    EXPECT_EQ(probe.threadCount(), 1u);
}

TEST(Timer, RepeatedRestartsKeepOneThread) {
    Probe probe;
    Timer timer(Timer::Periodic);
    probe.attach(timer);
    timer.start(1);
    for (int i = 0; i < 200; ++i) {
        timer.start(1 + i % 3);
        if (i % 50 == 0)
            waitFor([&] { return probe.expiries > i / 50; });
    }
    ASSERT_TRUE(waitFor([&] { return probe.expiries >= 5; }));
    timer.stop();
    ASSERT_TRUE(waitFor([&] { return probe.stops == 1; }));
    EXPECT_EQ(probe.threadCount(), 1u);
    EXPECT_EQ(probe.maxActive, 1);
}

TEST(Timer, SingleShotFiresOnceThenEmitsStop) {
    Probe probe;
    Timer timer(Timer::SingleShot);
    probe.attach(timer);
    std::atomic<int> expiriesAtStop{-1};
    timer.stopped.connect([&] { expiriesAtStop = probe.expiries.load(); });
    timer.start(2);
    ASSERT_TRUE(waitFor([&] { return probe.stops == 1; }));
    EXPECT_EQ(expiriesAtStop, 1);
    EXPECT_FALSE(timer.running());
}

TEST(Timer, SingleShotRestartedFromCallbackFiresAgain) {
    std::atomic<int> stops{0};
    std::atomic<int> calls{0};
    std::unique_ptr<Timer> timer;
    timer = std::make_unique<Timer>(
        Timer::SingleShot,
        [&] {
            if (++calls == 1)
                timer->start(3);
        },
        [&] { ++stops; });
    timer->start(1);
    ASSERT_TRUE(waitFor([&] { return stops == 1; }));
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(timer->running());
    timer.reset();
    EXPECT_EQ(stops, 1);
}

TEST(Timer, StopWakesTheThreadAndEmitsStopOnce) {
    Probe probe;
    {
        Timer timer(Timer::Periodic);
        probe.attach(timer);
        timer.start(kLong);
        const Signal<>& stopSignal = timer.stop();
        EXPECT_EQ(&stopSignal, &timer.stopped);
        EXPECT_FALSE(timer.running());
        ASSERT_TRUE(waitFor([&] { return probe.stops == 1; }));
        timer.stop(); // not running: nothing more
    }
    EXPECT_EQ(probe.stops, 1);
    EXPECT_EQ(probe.expiries, 0);
}

TEST(Timer, StopFromCallbackEndsPeriodicTimer) {
    std::atomic<int> calls{0};
    std::atomic<int> stops{0};
    std::unique_ptr<Timer> timer;
    timer = std::make_unique<Timer>(
        Timer::Periodic,
        [&] {
            if (++calls == 3)
                timer->stop();
        },
        [&] { ++stops; });
    timer->start(1);
    ASSERT_TRUE(waitFor([&] { return stops == 1; }));
    EXPECT_EQ(calls, 3);
    timer.reset();
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(stops, 1);
}

TEST(Timer, RapidStopStartCyclesNeverRunTwoThreads) {
    Probe probe;
    std::atomic<int> stopCalls{0};
    std::atomic<int> stopCallsSeenAtLastEmission{0};
    Timer timer(Timer::Periodic);
    timer.expired.connect([&] {
        ++probe.active;
        std::this_thread::sleep_for(std::chrono::microseconds(200)); // widen the overlap window
        --probe.active;
        probe.onExpiry();
    });
    timer.stopped.connect([&] {
        ++probe.stops;
        stopCallsSeenAtLastEmission = stopCalls.load();
    });
    constexpr int kCycles = 300;
    for (int i = 0; i < kCycles; ++i) {
        timer.start(1);
        if (i % 7 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ++stopCalls;
        timer.stop();
    }
    // Every stop is followed by a stop emission, but one run never ends twice.
    ASSERT_TRUE(waitFor([&] { return stopCallsSeenAtLastEmission == kCycles; }));
    EXPECT_GE(probe.stops, 1);
    EXPECT_LE(probe.stops, kCycles);
    EXPECT_LE(probe.maxActive, 1); // the stops may come before any expiry
}

TEST(Timer, ConcurrentStartAndStopFromManyThreadsStaySerial) {
    Probe probe;
    {
        Timer timer(Timer::Periodic);
        timer.expired.connect([&] { probe.onExpiry(); });
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 200; ++i) {
                    if ((i + t) % 2)
                        timer.start(1);
                    else
                        timer.stop();
                }
            });
        }
        for (auto& t : threads)
            t.join();
        timer.start(1);
        EXPECT_TRUE(waitFor([&] { return probe.expiries > 0; }));
    }
    EXPECT_EQ(probe.maxActive, 1);
}

TEST(Timer, StartFromStopSlotContinuesOnSameThread) {
    // The engine's restart: a stop slot starts the timer again.
    Probe probe;
    Timer timer(Timer::Periodic);
    probe.attach(timer);
    std::atomic<bool> restarted{false};
    timer.stopped.connect([&] {
        if (!restarted.exchange(true))
            timer.start(2);
    });
    timer.start(1);
    ASSERT_TRUE(waitFor([&] { return probe.expiries >= 1; }));
    timer.stop();
    ASSERT_TRUE(waitFor([&] { return restarted && probe.expiries >= 3; }));
    EXPECT_TRUE(timer.running());
    EXPECT_EQ(timer.interval(), 2);
    EXPECT_EQ(probe.threadCount(), 1u);
    timer.stop();
    ASSERT_TRUE(waitFor([&] { return probe.stops == 2; }));
}

TEST(Timer, StartFromDetachedThreadSpawnedByStopSlot) {
    Probe probe;
    Timer timer(Timer::Periodic);
    probe.attach(timer);
    std::atomic<int> handlerId{0};
    std::atomic<bool> restartDone{false};
    timer.start(kLong);
    handlerId = timer.stopped.connect([&] {
        std::thread([&] {
            timer.start(1);
            timer.stopped.disconnect(handlerId);
            restartDone = true;
        }).detach();
    });
    timer.stop();
    ASSERT_TRUE(waitFor([&] { return restartDone && probe.expiries >= 2; }));
    EXPECT_TRUE(timer.running());
    timer.stop();
    ASSERT_TRUE(waitFor([&] { return probe.stops == 2; }));
    EXPECT_FALSE(timer.running()); // the handler was removed: no second restart
}

TEST(Timer, DestructorWaitsForRunningCallback) {
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    std::atomic<int> stops{0};
    {
        Timer timer(
            Timer::Periodic,
            [&] {
                entered = true;
                Thread::sleep(50);
                finished = true;
            },
            [&] { ++stops; });
        timer.start(1);
        ASSERT_TRUE(waitFor([&] { return entered.load(); }));
    }
    EXPECT_TRUE(finished);
    // A destroyed timer emits nothing more: its slots may refer to objects being destroyed.
    EXPECT_EQ(stops, 0);
}

TEST(Timer, DestructorOfStoppedOrNeverStartedTimer) {
    { Timer idle(Timer::Periodic); }
    Probe probe;
    {
        Timer timer(Timer::SingleShot);
        probe.attach(timer);
        timer.start(1);
        ASSERT_TRUE(waitFor([&] { return probe.stops == 1; }));
    }
    EXPECT_EQ(probe.expiries, 1);
}

TEST(Timer, DestroyedFromItsOwnCallback) {
    std::atomic<bool> done{false};
    std::unique_ptr<Timer> timer;
    timer = std::make_unique<Timer>(
        Timer::Periodic,
        [&] {
            timer.reset();
            done = true;
        },
        [] {});
    timer->start(1);
    ASSERT_TRUE(waitFor([&] { return done.load(); }));
    EXPECT_EQ(timer, nullptr);
}

TEST(Timer, NotifyRunsOnCallersThread) {
    struct Context {
        std::thread::id thread;
        int calls = 0;
    } context;
    Timer timer(
        Timer::SingleShot,
        [](void* d) {
            auto* c = static_cast<Context*>(d);
            c->thread = std::this_thread::get_id();
            ++c->calls;
        },
        &context);
    int expiries = 0;
    timer.expired.connect([&] { ++expiries; });
    timer.notify();
    EXPECT_EQ(context.calls, 1);
    EXPECT_EQ(expiries, 1);
    EXPECT_EQ(context.thread, std::this_thread::get_id());
    EXPECT_FALSE(timer.running());
}

TEST(Timer, StartReturnsTheTimer) {
    Timer timer(Timer::SingleShot);
    EXPECT_EQ(&timer.start(kLong), &timer);
    EXPECT_EQ(timer.interval(), kLong);
    timer.stop();
}

} // namespace
