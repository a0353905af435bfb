#include "EngineTestSupport.h"

#include <future>

namespace engine_test {
namespace {

using EngineStatusTest = EngineTest;

Status inactive() {
    return Status();
}

TEST_F(EngineStatusTest, NoDriverIsRetriedEveryTickWithoutCallbacks) {
    factoryThrows = true;
    auto& e = makeEngine();
    int callbacks = 0;
    e.addStatusCallback([&](const Status&) { ++callbacks; });
    LogCapture log;
    e.statusFunction();
    e.statusFunction();
    e.statusFunction();
    EXPECT_EQ(factoryCalls, 3);
    EXPECT_EQ(log.count("[Engine] Initialize: no driver active"), 3);
    EXPECT_EQ(callbacks, 0);
    EXPECT_EQ(e.dispose(), make_error_code(ErrorCode::WrongDeviceConfiguration)) << "the lock is free";
}

TEST_F(EngineStatusTest, FirstTickInitialisesTheDriverAndReportsItOnce) {
    auto& e = makeEngine();
    std::vector<json> reported;
    e.addStatusCallback([&](const Status& status) { reported.push_back(status.toJson()); });
    e.statusFunction();
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_TRUE(reported[0]["active"].get<bool>());
    EXPECT_EQ(device->starts, 1);
    EXPECT_EQ(device->pings, 1);
    EXPECT_EQ(device->launches, 1);

    const auto events = device->eventLog();
    const std::vector<std::string> order{"start", "ping", "launchExtra"};
    EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + 3), order);
}

TEST_F(EngineStatusTest, CallbacksRunInOrderOncePerChange) {
    auto& e = makeEngine();
    std::vector<std::string> calls;
    e.addStatusCallback([&](const Status&) { calls.push_back("first"); });
    e.addStatusCallback([&](const Status&) { calls.push_back("second"); });
    e.statusFunction();
    e.statusFunction();
    e.statusFunction();
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "second"})) << "equal statuses are reported once";

    device->setStatus(activeStatus(false, true)); // one sensor changes
    e.statusFunction();
    e.statusFunction();
    EXPECT_EQ(calls.size(), 4u);
    EXPECT_EQ(factoryCalls, 1);
}

TEST_F(EngineStatusTest, CallbackOfTheInitialisingTickMayUseLockedCommands) {
    auto& e = makeEngine();
    std::string version;
    e.addStatusCallback([&](const Status&) {
        if (version.empty())
            version = e.getFirmwareVersion().value_or("none");
    });
    e.statusFunction();
    EXPECT_EQ(version, "1.2.3");
}

TEST_F(EngineStatusTest, ThrowingCallbackIsLoggedAndTheNextTickRuns) {
    auto& e = makeEngine();
    int calls = 0;
    e.addStatusCallback([&](const Status&) {
        ++calls;
        throw std::runtime_error("callback failed");
    });
    LogCapture log;
    e.statusFunction();
    EXPECT_TRUE(log.contains("[Engine] StatusFunction: callback failed")) << log.text();
    EXPECT_EQ(e.dispose().value(), 0) << "the lock was released";

    device->setStatus(activeStatus(true));
    e.statusFunction();
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(log.count("StatusFunction: callback failed"), 2);
    EXPECT_EQ(e.dispose().value(), 0);
}

struct FailingStep {
    const char* name;
    bool failStart;
    ErrorCode code;
};

class InitialisationFailureTest : public EngineTest, public ::testing::WithParamInterface<FailingStep> {};

TEST_P(InitialisationFailureTest, DriverIsDiscardedAndRetriedNextTick) {
    const auto& param = GetParam();
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        (param.failStart ? device->startResult : device->pingResult) = make_error_code(param.code);
    }
    auto& e = makeEngine();
    int callbacks = 0;
    e.addStatusCallback([&](const Status&) { ++callbacks; });
    e.statusFunction();
    EXPECT_EQ(device->live, 0);
    EXPECT_EQ(device->launches, 0);
    EXPECT_FALSE(e.getModel().has_value());
    e.statusFunction();
    EXPECT_EQ(factoryCalls, 2);
    EXPECT_EQ(callbacks, 0);

    {
        std::lock_guard<std::mutex> lock(device->mutex);
        device->startResult.clear();
        device->pingResult.clear();
    }
    e.statusFunction();
    EXPECT_EQ(device->live, 1);
    EXPECT_EQ(callbacks, 1);
}

INSTANTIATE_TEST_SUITE_P(Steps, InitialisationFailureTest,
                         ::testing::Values(FailingStep{"start", true, ErrorCode::UsbError},
                                           FailingStep{"ping", false, ErrorCode::Timeout}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineStatusTest, ThrowingStartIsContainedAndLeavesTheDriver) {
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        device->throwOnStart = true;
    }
    auto& e = makeEngine();
    LogCapture log;
    e.statusFunction();
    EXPECT_TRUE(log.contains("[Engine] StatusFunction: cannot open the fake port")) << log.text();
    EXPECT_EQ(device->live, 1);
    EXPECT_EQ(e.dispose().value(), 0) << "the lock was released";
}

TEST_F(EngineStatusTest, InactiveDeviceIsReportedOnceAndReinitialisedEveryTick) {
    auto& e = makeEngine();
    std::vector<json> reported;
    e.addStatusCallback([&](const Status& status) { reported.push_back(status.toJson()); });
    e.statusFunction();
    ASSERT_EQ(reported.size(), 1u);

    device->setStatus(inactive());
    LogCapture log;
    e.statusFunction();
    e.statusFunction();
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[1], json({{"active", false}}));
    EXPECT_EQ(factoryCalls, 3);
    EXPECT_EQ(log.count("[Engine] Initialize: status reports not active"), 2);
    EXPECT_EQ(device->live, 1);
}

TEST_F(EngineStatusTest, DriverInitialisedInactiveIsInitialisedAgainOnlyByTheNextTick) {
    device->setStatus(inactive());
    auto& e = makeEngine();
    e.statusFunction();
    EXPECT_EQ(factoryCalls, 1) << "no second initialisation in the tick that created the driver";

    // The next tick re-initialises while it holds the command lock: a command issued while the
    // driver starts waits until start and ping are done.
    device->startGate.close();
    auto tick = std::async(std::launch::async, [&] { e.statusFunction(); });
    ASSERT_TRUE(waitUntil([&] { return device->startGate.entered() == 2; }));
    auto command = std::async(std::launch::async, [&] { return e.dispose(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // give a wrong implementation its chance
    device->startGate.open();
    tick.get();
    command.get();
    EXPECT_EQ(factoryCalls, 2);

    const auto events = device->eventLog();
    const auto secondPing =
        std::find(std::find(events.begin(), events.end(), "ping") + 1, events.end(), "ping");
    const auto dispose = std::find(events.begin(), events.end(), "dispose");
    ASSERT_NE(secondPing, events.end());
    ASSERT_NE(dispose, events.end());
    EXPECT_GT(dispose - events.begin(), secondPing - events.begin());
}

TEST_F(EngineStatusTest, ParkedPathIsPowerCycledFourTimesThenAccepted) {
    device->setStatus(activeStatus(true));
    auto& e = makeEngine();
    std::atomic<int> powerCycles{0};
    e.powerCycleRequired.connect([&] { ++powerCycles; });
    std::vector<json> reported;
    e.addStatusCallback([&](const Status& status) { reported.push_back(status.toJson()); });

    for (int i = 0; i < 4; ++i) {
        e.statusFunction();
        EXPECT_EQ(device->live, 0) << "initialisation " << i + 1 << " drops the parked driver";
    }
    EXPECT_TRUE(waitUntil([&] { return powerCycles == 4; }));
    EXPECT_EQ(device->parks, 4);
    EXPECT_TRUE(reported.empty());

    e.statusFunction();
    EXPECT_EQ(factoryCalls, 5);
    EXPECT_EQ(device->live, 1) << "the fifth initialisation accepts the parked path";
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_TRUE(reported[0]["isParked"].get<bool>());

    e.statusFunction();
    EXPECT_EQ(factoryCalls, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(powerCycles, 4);
}

TEST_F(EngineStatusTest, StartedEnginePollsAndReportsTheFirstActiveStatus) {
    writeFastConfig();
    auto& e = makeEngine();
    std::atomic<int> callbacks{0};
    e.addStatusCallback([&](const Status&) { ++callbacks; });
    ASSERT_FALSE(e.activate());
    e.start();
    EXPECT_TRUE(waitUntil([&] { return callbacks == 1; }));
    // The configuration pass of the initialisation restarted the timer from its own thread.
    const int polls = device->statusCalls;
    EXPECT_TRUE(waitUntil([&] { return device->statusCalls > polls + 3; }));
    EXPECT_TRUE(e.statusTimer().running());
    EXPECT_EQ(e.statusTimer().interval(), 20);
}

TEST_F(EngineStatusTest, ChangedStatusPeriodTakesEffect) {
    writeFastConfig();
    auto& e = makeEngine();
    ASSERT_FALSE(e.activate());
    e.start();
    ASSERT_TRUE(waitUntil([&] { return device->launches == 1; }));
    EXPECT_EQ(e.setConfig({{"statusPeriod", 250}}).value(), 0);
    EXPECT_TRUE(waitUntil([&] { return e.statusTimer().running() && e.statusTimer().interval() == 250; }));
    EXPECT_EQ(configOnDisk()["statusPeriod"], 250);
    const int polls = device->statusCalls;
    EXPECT_TRUE(waitUntil([&] { return device->statusCalls > polls; })) << "the poll goes on";
}

TEST_F(EngineStatusTest, PeriodChangedWhileStoppedIsUsedAtTheNextStart) {
    writeFastConfig();
    auto& e = makeEngine();
    ASSERT_FALSE(e.activate());
    e.setConfig({{"statusPeriod", 300}});
    EXPECT_FALSE(e.statusTimer().running());
    e.start();
    EXPECT_EQ(e.statusTimer().interval(), 300);
}

} // namespace
} // namespace engine_test
