#include "Semaphore.h"
#include "Thread.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(Semaphore, PostsAreNotCappedByTheMaximum) {
    Semaphore sem("", 0, 1);
    EXPECT_EQ(sem.GetMaxCount(), 1u);
    EXPECT_EQ(sem.GetName(), "");
    EXPECT_FALSE(sem.Try());
    EXPECT_TRUE(sem.Post(2));
    EXPECT_TRUE(sem.Try());
    EXPECT_TRUE(sem.Try());
    EXPECT_FALSE(sem.Try());
}

TEST(Semaphore, PostOfZeroCountsAsOne) {
    Semaphore sem("", 0, 5);
    EXPECT_TRUE(sem.Post(0));
    EXPECT_TRUE(sem.Wait(0));
    EXPECT_FALSE(sem.Wait(0));
}

TEST(Semaphore, InitialCountIsClampedToMaximum) {
    Semaphore sem("named", 5, 2);
    EXPECT_EQ(sem.GetName(), "named");
    EXPECT_TRUE(sem.Try());
    EXPECT_TRUE(sem.Try());
    EXPECT_FALSE(sem.Try());
}

TEST(Semaphore, TimedWaitOnEmptySemaphoreGivesUp) {
    Semaphore sem("", 0, 1);
    EXPECT_FALSE(sem.Wait(50));
    EXPECT_FALSE(sem.Wait(1));
}

TEST(Semaphore, TimedWaitTakesAvailableCount) {
    Semaphore sem("", 1, 1);
    EXPECT_TRUE(sem.Wait(1999)); // deadline nanoseconds carried into seconds
}

TEST(Semaphore, UnlimitedWaitWakesOnPostFromAnotherThread) {
    Semaphore sem("", 0, 1);
    std::thread poster([&] {
        Thread::sleep(20);
        sem.Post();
    });
    EXPECT_TRUE(sem.Wait(-1));
    poster.join();
}

TEST(Semaphore, TimedWaitWakesOnPostFromAnotherThread) {
    Semaphore sem("", 0, 1);
    std::thread poster([&] { sem.Post(); });
    EXPECT_TRUE(sem.Wait(10000));
    poster.join();
}

} // namespace
