#include "LifetimeGate.h"

#include "WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

namespace {

struct Target {
    int value = 7;
};

bool gateClosed(LifetimeGate<Target>& gate) {
    return !LifetimeGate<Target>::Pass(gate);
}

TEST(LifetimeGate, PassReachesTargetUntilClosed) {
    Target target;
    LifetimeGate<Target> gate(&target);
    {
        LifetimeGate<Target>::Pass pass(gate);
        ASSERT_TRUE(pass);
        EXPECT_EQ(pass->value, 7);
    }
    gate.close();
    EXPECT_TRUE(gateClosed(gate));
    gate.close(); // a second close has nothing to wait for
}

TEST(LifetimeGate, CloseWaitsForTheCallInFlight) {
    Target target;
    LifetimeGate<Target> gate(&target);
    auto pass = std::make_unique<LifetimeGate<Target>::Pass>(gate);
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        gate.close();
        closed = true;
    });
    // Once no new pass is given, close() has begun; it cannot end while the first pass lives.
    ASSERT_TRUE(waitFor([&] { return gateClosed(gate); }));
    EXPECT_FALSE(closed);
    EXPECT_EQ((*pass)->value, 7);
    pass.reset();
    closer.join();
    EXPECT_TRUE(closed);
}

// A call in flight waits on a lock held by a thread that reports through the same gate while
// close() is pending: the reporter gets an empty pass instead of waiting, so all three finish.
TEST(LifetimeGate, CallWaitingOnALockHeldByAReporterDoesNotDeadlockClose) {
    Target target;
    LifetimeGate<Target> gate(&target);
    std::mutex driver;
    std::unique_lock<std::mutex> reporterHolds(driver);

    std::promise<void> callEntered;
    std::thread call([&] {
        LifetimeGate<Target>::Pass pass(gate);
        callEntered.set_value();
        std::lock_guard<std::mutex> waitsForDriver(driver);
    });
    callEntered.get_future().wait();
    std::thread closer([&] { gate.close(); });
    ASSERT_TRUE(waitFor([&] { return gateClosed(gate); }));

    // The reporter, still holding the driver lock, reports progress.
    {
        LifetimeGate<Target>::Pass progress(gate);
        EXPECT_FALSE(progress);
    }
    reporterHolds.unlock();
    call.join();
    closer.join();
}

} // namespace
