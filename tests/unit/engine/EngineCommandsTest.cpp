#include "EngineTestSupport.h"

#include <future>
#include <sys/stat.h>

namespace engine_test {
namespace {

const json kTicket = {{"elements", json::array()}};

using EngineCommandsTest = EngineTest;

TEST_F(EngineCommandsTest, CommandsWithoutDriverAnswerWrongDeviceConfiguration) {
    auto& e = makeEngine();
    const auto noDriver = make_error_code(ErrorCode::WrongDeviceConfiguration);
    EXPECT_EQ(e.dispose(), noDriver);
    EXPECT_EQ(e.eject(), noDriver);
    EXPECT_EQ(e.park(), noDriver);
    EXPECT_EQ(e.print(kTicket), noDriver);
    EXPECT_EQ(e.clearJamming(), noDriver);
    EXPECT_EQ(e.clearMetrics(), noDriver);
    EXPECT_EQ(e.getFirmwareVersion().error(), noDriver);
    EXPECT_EQ(e.getModel().error(), noDriver);
    EXPECT_EQ(e.getManufacturer().error(), noDriver);
    EXPECT_EQ(e.getConnectionType().error(), noDriver);
    EXPECT_FALSE(e.getStatus().getIsActive());
    EXPECT_EQ(factoryCalls, 0) << "commands never create a driver";
}

TEST_F(EngineCommandsTest, ResetWithoutDriverSucceedsAndRequestsPowerCycle) {
    auto& e = makeEngine();
    std::atomic<int> requests{0};
    e.powerCycleRequired.connect([&] { ++requests; });
    EXPECT_EQ(e.reset().value(), 0);
    EXPECT_TRUE(waitUntil([&] { return requests == 1; }));
}

TEST_F(EngineCommandsTest, ResetParksTheDriverAndRequestsPowerCycle) {
    auto& e = makeEngine();
    ASSERT_TRUE(pollUntilDriver());
    std::atomic<int> requests{0};
    e.powerCycleRequired.connect([&] { ++requests; });
    const int parksBefore = device->parks;
    EXPECT_EQ(e.reset().value(), 0);
    EXPECT_EQ(device->parks, parksBefore + 1);
    EXPECT_TRUE(waitUntil([&] { return requests == 1; }));
}

TEST_F(EngineCommandsTest, MetricsWithoutDriverComeFromTheMetricsFile) {
    auto& e = makeEngine();
    const auto metrics = e.getMetrics();
    EXPECT_TRUE(fs::exists(dir.path() / "metrics.json"));
    EXPECT_FALSE(metrics.getPrintFailure());
}

// Status requests arrive many times a second: without a driver the metrics file is read and
// normalised once, not rewritten by every request or by every failed driver creation.
TEST_F(EngineCommandsTest, DriverlessMetricsFileIsNotRewrittenByEveryRequest) {
    auto& e = makeEngine();
    factoryFails = true;
    e.getMetrics();
    const auto metricsFile = dir.path() / "metrics.json";
    const auto written = fs::last_write_time(metricsFile);
    struct stat before {};
    ASSERT_EQ(::stat(metricsFile.c_str(), &before), 0);
    for (int i = 0; i < 3; ++i) {
        e.statusFunction();
        e.getMetrics();
    }
    struct stat after {};
    ASSERT_EQ(::stat(metricsFile.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino) << "the file was replaced";
    EXPECT_EQ(fs::last_write_time(metricsFile), written);
}

// Once a driver has existed it may have counted prints: the next driverless reading takes the file anew.
TEST_F(EngineCommandsTest, DriverlessMetricsAreReadAgainAfterADriverExisted) {
    auto& e = makeEngine();
    factoryFails = true;
    EXPECT_EQ(e.getMetrics().getPrintMetrics().at(Dispensers::PrintStatus::Ok), 0u);
    factoryFails = false;
    ASSERT_TRUE(pollUntilDriver());
    {
        Metrics onDisk("./metrics.json");
        onDisk.pushPrintStatus(Dispensers::PrintStatus::Ok);
    }
    factoryFails = true;
    device->statusError = true;
    e.statusFunction();
    ASSERT_FALSE(e.getModel());
    EXPECT_EQ(e.getMetrics().getPrintMetrics().at(Dispensers::PrintStatus::Ok), 1u);
}

TEST_F(EngineCommandsTest, CommandsReachTheDriver) {
    auto& e = makeEngine();
    ASSERT_TRUE(pollUntilDriver());
    EXPECT_EQ(e.dispose().value(), 0);
    EXPECT_EQ(e.eject().value(), 0);
    EXPECT_EQ(e.park().value(), 0);
    EXPECT_EQ(e.clearJamming().value(), 0);
    EXPECT_EQ(device->clearJammings, 1);
    EXPECT_EQ(*e.getFirmwareVersion(), "1.2.3");
    EXPECT_EQ(*e.getModel(), "FakeModel");
    EXPECT_EQ(*e.getManufacturer(), "Fake");
    EXPECT_TRUE(e.getStatus().getIsActive());
    const auto events = device->eventLog();
    EXPECT_NE(std::find(events.begin(), events.end(), "dispose"), events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), "eject"), events.end());
}

TEST_F(EngineCommandsTest, StatusErrorGivesInactiveStatus) {
    auto& e = makeEngine();
    ASSERT_TRUE(pollUntilDriver());
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        device->statusError = true;
    }
    EXPECT_FALSE(e.getStatus().getIsActive());
}

struct ConnectionCase {
    int type;
    bool error;
    std::string expected;
};

class ConnectionTypeTest : public EngineTest, public ::testing::WithParamInterface<ConnectionCase> {};

TEST_P(ConnectionTypeTest, MapsTheDriverAnswerToText) {
    const auto& param = GetParam();
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        device->connectionType = param.type;
        device->connectionTypeError = param.error;
    }
    auto& e = makeEngine();
    ASSERT_TRUE(pollUntilDriver());
    const auto answer = e.getConnectionType();
    if (param.error) {
        ASSERT_FALSE(answer.has_value());
        EXPECT_EQ(answer.error(), std::make_error_code(std::errc::io_error));
    } else {
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(*answer, param.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Types, ConnectionTypeTest,
                         ::testing::Values(ConnectionCase{0, false, "serial"},
                                           ConnectionCase{1, false, "usb"},
                                           ConnectionCase{7, false, "undefined"},
                                           ConnectionCase{-1, false, "undefined"},
                                           ConnectionCase{0, true, ""}));

TEST_F(EngineCommandsTest, PrintReturnsTheDriverResultAndAnnouncesMetrics) {
    auto& e = makeEngine();
    ASSERT_TRUE(pollUntilDriver());
    std::atomic<int> changes{0};
    e.metricsChanged.connect([&] { ++changes; });
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        device->printResult = make_error_code(ErrorCode::NoMoreTickets);
    }
    EXPECT_EQ(e.print(kTicket), make_error_code(ErrorCode::NoMoreTickets));
    EXPECT_TRUE(waitUntil([&] { return changes == 1; }));
    EXPECT_EQ(e.clearMetrics().value(), 0);
    EXPECT_EQ(device->clearMetricsCalls, 1);
    EXPECT_TRUE(waitUntil([&] { return changes == 2; }));
}

TEST_F(EngineCommandsTest, MalformedTicketReachesTheCallerAndReleasesTheLock) {
    auto& e = makeEngine();
    ASSERT_TRUE(pollUntilDriver());
    EXPECT_THROW(e.print(json::object()), json::exception);
    EXPECT_EQ(e.dispose().value(), 0) << "the command lock is free again";
}

TEST_F(EngineCommandsTest, PollDuringPrintIsSkippedAndStatusWaitsForThePrint) {
    auto& e = makeEngine();
    ASSERT_TRUE(pollUntilDriver());
    device->printGate.close();
    auto printing = std::async(std::launch::async, [&] { return e.print(kTicket); });
    ASSERT_TRUE(waitUntil([&] { return device->printGate.entered() == 1; }));

    // The poll does not wait for the lock: it returns at once without asking the driver.
    const int statusCallsBefore = device->statusCalls;
    e.statusFunction();
    EXPECT_EQ(device->statusCalls, statusCallsBefore);

    auto status = std::async(std::launch::async, [&] {
        const auto answer = e.getStatus();
        device->record("status-answered");
        return answer;
    });
    device->printGate.open();
    EXPECT_EQ(printing.get().value(), 0);
    EXPECT_TRUE(status.get().getIsActive());

    const auto events = device->eventLog();
    const auto printEnd = std::find(events.begin(), events.end(), "print-end");
    const auto answered = std::find(events.begin(), events.end(), "status-answered");
    ASSERT_NE(printEnd, events.end());
    ASSERT_NE(answered, events.end());
    EXPECT_LT(printEnd - events.begin(), answered - events.begin());
}

TEST_F(EngineCommandsTest, StopTwiceLogsStopTwiceAndDoneOnce) {
    writeFastConfig();
    auto& e = makeEngine();
    ASSERT_FALSE(e.activate());
    e.start();
    ASSERT_TRUE(waitUntil([&] { return device->launches == 1; }));
    LogCapture log;
    e.stop();
    e.stop();
    EXPECT_EQ(log.count("[Engine] stop()") - log.count("[Engine] stop(): done"), 2) << log.text();
    EXPECT_EQ(log.count("[Engine] stop(): done"), 1) << log.text();
    EXPECT_EQ(device->stops, 1);
    EXPECT_FALSE(e.statusTimer().running());
}

TEST_F(EngineCommandsTest, StopWithoutStartDoesNothing) {
    auto& e = makeEngine();
    LogCapture log;
    e.stop();
    EXPECT_TRUE(log.contains("[Engine] stop()"));
    EXPECT_FALSE(log.contains("stop(): done"));
}

TEST_F(EngineCommandsTest, StopDuringPrintWaitsForThePrintAndCreatesNoNewDriver) {
    writeFastConfig();
    auto& e = makeEngine();
    ASSERT_FALSE(e.activate());
    e.start();
    ASSERT_TRUE(waitUntil([&] { return device->launches == 1; }));

    device->printGate.close();
    auto printing = std::async(std::launch::async, [&] { return e.print(kTicket); });
    ASSERT_TRUE(waitUntil([&] { return device->printGate.entered() == 1; }));
    auto stopping = std::async(std::launch::async, [&] { e.stop(); });
    device->printGate.open();
    EXPECT_EQ(printing.get().value(), 0);
    stopping.get();

    const auto events = device->eventLog();
    const auto printEnd = std::find(events.begin(), events.end(), "print-end");
    const auto stopped = std::find(events.begin(), events.end(), "stop");
    ASSERT_NE(stopped, events.end());
    EXPECT_LT(printEnd - events.begin(), stopped - events.begin()) << "the driver is stopped after the print";

    // A stopped engine starts no further driver.
    const int created = device->created;
    e.statusFunction();
    EXPECT_EQ(device->created, created);
    EXPECT_EQ(device->live, 1) << "the stopped driver stays until the engine goes";
}

TEST_F(EngineCommandsTest, EngineCanBeStartedAgainAfterStop) {
    writeFastConfig();
    auto& e = makeEngine();
    ASSERT_FALSE(e.activate());
    e.start();
    ASSERT_TRUE(waitUntil([&] { return device->launches == 1; }));
    e.stop();
    e.start();
    EXPECT_TRUE(e.statusTimer().running());
    const int polls = device->statusCalls;
    EXPECT_TRUE(waitUntil([&] { return device->statusCalls > polls; }));
}

TEST_F(EngineCommandsTest, DestroyingARunningEngineReleasesTheDriver) {
    writeFastConfig();
    auto& e = makeEngine();
    ASSERT_FALSE(e.activate());
    e.start();
    ASSERT_TRUE(waitUntil([&] { return device->launches == 1; }));
    e.print(kTicket); // leaves a delayed emission behind
    e.reset();
    engine.reset();
    EXPECT_EQ(device->live, 0);
    EXPECT_EQ(device->stops, 1);
}

} // namespace
} // namespace engine_test
