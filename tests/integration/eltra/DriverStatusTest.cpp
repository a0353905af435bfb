#include "SimulatedPrinter.h"

#include "ErrorCode.h"
#include "Helpers.h"
#include "Status.h"

#include <gmock/gmock.h>

using namespace corvane::test;
using DriverOnSimulator = SimulatedPrinter;
using ::testing::HasSubstr;
using ::testing::Not;
using zelmo::Corvane::ErrorCode;
using zelmo::Corvane::Status;

namespace {

class StatusQuery : public DriverOnSimulator {
protected:
    Status status(const std::string& reply) {
        sim.command("status " + reply);
        auto result = driver->getStatus();
        EXPECT_TRUE(result) << (result ? "" : result.error().message());
        return result ? *result : Status{};
    }
};

TEST_F(StatusQuery, AllZeroIsHealthy) {
    const Status s = status("000000000");
    EXPECT_TRUE(s.getIsActive());
    EXPECT_FALSE(s.getIsJammed());
    EXPECT_FALSE(s.getIsParked());
    const auto sensors = s.getSensors();
    ASSERT_EQ(sensors.size(), 5u);
    for (const auto& [sensor, on] : sensors)
        EXPECT_TRUE(on) << sensor;
    EXPECT_EQ(s.getReelLevels(), (std::vector<Status::ReelLevel>{Status::Normal, Status::Normal}));
}

TEST_F(StatusQuery, PathSensorsAndReels) {
    Status s = status("001000100");
    auto sensors = s.getSensors();
    EXPECT_FALSE(sensors[Status::PathSensor1]);
    EXPECT_TRUE(sensors[Status::PathSensor2]);
    EXPECT_FALSE(sensors[Status::PathSensor3]);

    s = status("110010001");
    sensors = s.getSensors();
    EXPECT_TRUE(sensors[Status::PathSensor1]);
    EXPECT_TRUE(sensors[Status::PathSensor2]);
    EXPECT_TRUE(sensors[Status::PathSensor3]);
    EXPECT_TRUE(sensors[Status::Reel2Paper]);
    EXPECT_FALSE(sensors[Status::Reel1Paper]);
    EXPECT_EQ(s.getReelLevels(), (std::vector<Status::ReelLevel>{Status::Empty, Status::Normal}));

    s = status("000000010");
    EXPECT_EQ(s.getReelLevels(), (std::vector<Status::ReelLevel>{Status::Normal, Status::Empty}));
}

TEST_F(StatusQuery, ReplyLongerThanNineIsRead) {
    const Status s = status("000000000XYZ");
    EXPECT_TRUE(s.getIsActive());
}

TEST_F(StatusQuery, MarkHidesRemainingTicketsAndStays) {
    writeFile(".lastTickets", "reel1LastTicket:true\nreel2LastTicket:false\n");
    const Status s = status("000000000");
    EXPECT_FALSE(s.getSensors()[Status::Reel1Paper]);
    EXPECT_EQ(s.getReelLevels()[0], Status::Empty);
    EXPECT_EQ(readFile(".lastTickets"), "reel1LastTicket:true\nreel2LastTicket:false\n");
}

TEST_F(StatusQuery, EmptyReelClearsItsMark) {
    writeFile(".lastTickets", "reel1LastTicket:true\nreel2LastTicket:true\n");
    const Status s = status("000000001");
    EXPECT_FALSE(s.getSensors()[Status::Reel1Paper]);
    EXPECT_EQ(s.getReelLevels()[0], Status::Empty);
    EXPECT_FALSE(s.getSensors()[Status::Reel2Paper]);
    EXPECT_EQ(readFile(".lastTickets"), "reel1LastTicket:false\nreel2LastTicket:true\n");
}

TEST_F(StatusQuery, MissingFileIsWrittenWithBothKeys) {
    std::filesystem::remove(".lastTickets");
    const Status s = status("000000000");
    EXPECT_TRUE(s.getSensors()[Status::Reel1Paper]);
    EXPECT_EQ(readFile(".lastTickets"), "reel1LastTicket:false\nreel2LastTicket:false\n");
}

TEST_F(StatusQuery, ExtraLinesAreKeptInKeyOrder) {
    writeFile(".lastTickets", "reel2LastTicket:false\nfoo:true\nreel1LastTicket:false\n");
    status("000000000");
    EXPECT_EQ(readFile(".lastTickets"), "foo:true\nreel1LastTicket:false\nreel2LastTicket:false\n");
}

TEST_F(StatusQuery, FirstQueryNeverReportsReload) {
    captureLog();
    status("000000011");
    status("000000011");
    EXPECT_THAT(capturedLog(), Not(HasSubstr("Reel loaded")));
}

TEST_F(StatusQuery, ReloadClearsMetricsOnce) {
    status("000000011");
    captureLog();
    status("000000000");
    status("000000000");
    const std::string log = capturedLog();
    const auto first = log.find("Reel loaded, clearing metrics...");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find("Reel loaded", first + 1), std::string::npos);
}

TEST_F(StatusQuery, ReloadMemoryIsSharedByDrivers) {
    status("000000001");
    restart(fastTiming());
    captureLog();
    status("000000000");
    EXPECT_THAT(capturedLog(), HasSubstr("Reel loaded, clearing metrics..."));
}

TEST_F(StatusQuery, ShortReplyIsAnError) {
    sim.command("reply ? 000 00000000");
    const auto result = driver->getStatus();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), ErrorCode::MalformedResponse);
    EXPECT_TRUE(driver->isRunning());
    EXPECT_EQ(driver->ping(), std::error_code(ErrorCode::Success));
}

TEST_F(StatusQuery, EmptyReplyIsAnError) {
    sim.command("reply ? 000");
    EXPECT_EQ(driver->ping(), ErrorCode::MalformedResponse);
}

TEST_F(StatusQuery, FailedExchangeIsNotTurnedIntoStatus) {
    Timing timing = fastTiming();
    timing.replyLimit = std::chrono::milliseconds(300);
    restart(timing);
    sim.command("silent");
    const auto result = driver->getStatus();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), ErrorCode::Timeout);
    EXPECT_TRUE(driver->isRunning());
}

TEST_F(StatusQuery, UnacknowledgedQueryStopsDriver) {
    sim.command("nak 15");
    const auto result = driver->getStatus();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), ErrorCode::ModuleFailedToAcknowledge);
    EXPECT_FALSE(driver->isRunning());
    sim.command("normal");
    sim.clear();
    EXPECT_EQ(driver->getStatus().error(), ErrorCode::Timeout);
    EXPECT_TRUE(sim.frames().empty());
}

TEST_F(StatusQuery, MetricsAreBoundToWorkingDirectory) {
    driver->clearMetrics();
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "metrics.json"));
    EXPECT_EQ(driver->getMetrics().toJson(), zelmo::Corvane::Metrics("./metrics.json").toJson());
}

} // namespace
