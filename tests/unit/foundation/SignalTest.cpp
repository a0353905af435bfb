#include "Signal.h"

#include "WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

TEST(Signal, IdsStartAtOneAndSlotsRunInConnectionOrder) {
    Signal<int> signal;
    std::vector<std::string> calls;
    EXPECT_EQ(signal.connect([&](int v) { calls.push_back("a" + std::to_string(v)); }), 1);
    EXPECT_EQ(signal.connect([&](int v) { calls.push_back("b" + std::to_string(v)); }), 2);
    EXPECT_EQ(signal.connect([&](int v) { calls.push_back("c" + std::to_string(v)); }), 3);
    signal.emit(7);
    EXPECT_EQ(calls, (std::vector<std::string>{"a7", "b7", "c7"}));
}

TEST(Signal, DisconnectRemovesOnlyThatSlotAndIdsAreNotReused) {
    Signal<> signal;
    std::vector<int> calls;
    signal.connect([&] { calls.push_back(1); });
    const int second = signal.connect([&] { calls.push_back(2); });
    signal.connect([&] { calls.push_back(3); });
    signal.disconnect(second);
    signal.disconnect(second); // twice: nothing happens
    signal.disconnect(99);     // unknown: nothing happens
    signal.emit();
    EXPECT_EQ(calls, (std::vector<int>{1, 3}));
    EXPECT_EQ(signal.connect([] {}), 4);
}

TEST(Signal, EmitWithoutSlotsIsHarmless) {
    Signal<const std::vector<unsigned char>&> signal;
    signal.emit({1, 2, 3});
    EXPECT_TRUE(signal.waitEmitted(0));
}

TEST(Signal, ThrowingSlotEndsEmissionAndReleasesGuard) {
    Signal<std::error_code> signal;
    std::vector<int> calls;
    signal.connect([&](std::error_code) { calls.push_back(1); });
    signal.connect([&](std::error_code) { throw std::runtime_error("slot failed"); });
    signal.connect([&](std::error_code) { calls.push_back(3); });
    EXPECT_THROW(signal.emit(std::error_code()), std::runtime_error);
    EXPECT_EQ(calls, std::vector<int>{1});
    EXPECT_TRUE(signal.waitEmitted(0)); // posted despite the exception
    // The guard was released: connecting and emitting again works.
    EXPECT_EQ(signal.connect([](std::error_code) {}), 4);
    EXPECT_THROW(signal.emit(std::error_code()), std::runtime_error);
}

struct Receiver {
    std::vector<float> values;
    void onProgress(float value) { values.push_back(value); }
};

TEST(Signal, ConnectMemberCallsMethodOnObject) {
    Signal<float> progress;
    Receiver receiver;
    EXPECT_EQ(progress.connect_member(&receiver, &Receiver::onProgress), 1);
    progress.emit(12.5f);
    progress.emit(100.0f);
    EXPECT_EQ(receiver.values, (std::vector<float>{12.5f, 100.0f}));
}

TEST(Signal, ConnectWorksOnConstSignal) {
    const Signal<unsigned char> signal;
    int got = 0;
    signal.connect([&](unsigned char v) { got = v; });
    signal.emit(9);
    EXPECT_EQ(got, 9);
}

TEST(Signal, SlotsRunOnEmittingThread) {
    Signal<> signal;
    std::thread::id slotThread;
    signal.connect([&] { slotThread = std::this_thread::get_id(); });
    std::thread emitter([&] { signal.emit(); });
    const auto emitterId = emitter.get_id();
    emitter.join();
    EXPECT_EQ(slotThread, emitterId);
}

TEST(Signal, ConcurrentConnectAndEmitAreSerialised) {
    Signal<int> signal;
    std::atomic<int> sum{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                const int id = signal.connect([&](int v) { sum += v; });
                signal.emit(1);
                signal.disconnect(id);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_GE(sum.load(), 800);
}

TEST(Signal, DisconnectFromAnotherThreadWhileEmitting) {
    // A slot that wants to remove itself hands the work to another thread, which waits for the emission.
    Signal<> signal;
    std::atomic<int> calls{0};
    std::thread remover;
    int id = 0;
    id = signal.connect([&] {
        ++calls;
        remover = std::thread([&, id] { signal.disconnect(id); });
    });
    signal.emit();
    remover.join();
    signal.emit();
    EXPECT_EQ(calls.load(), 1);
}

} // namespace
