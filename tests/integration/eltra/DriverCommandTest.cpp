#include "SimulatedPrinter.h"

#include "ErrorCode.h"

#include <gmock/gmock.h>

#include <thread>

using namespace corvane::test;
using DriverOnSimulator = SimulatedPrinter;
using zelmo::Corvane::ErrorCode;
using namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes frameBytes(char letter, const std::string& data) {
    Bytes frame = {0x12, 0x02, 0x42, static_cast<uint8_t>(letter)};
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(0x03);
    uint8_t lrc = 0;
    for (uint8_t b : frame)
        lrc ^= b;
    frame.push_back(static_cast<uint8_t>((lrc >> 4) + 0x30));
    frame.push_back(static_cast<uint8_t>((lrc & 0x0F) + 0x30));
    frame.push_back(0x04);
    return frame;
}

TEST_F(DriverOnSimulator, StartPollsOnceAndSecondStartLeavesDeviceAlone) {
    EXPECT_TRUE(driver->isRunning());
    EXPECT_TRUE(driver->isConnected());
    const Bytes afterStart = sim.raw();
    EXPECT_EQ(afterStart, (Bytes{0x12, 0x05}));

    EXPECT_FALSE(driver->start());
    // An exchange after the second start shows nothing else reached the printer in between.
    ASSERT_TRUE(driver->getFirmwareVersion());
    const Bytes all = sim.raw();
    const Bytes frame = frameBytes('}', "");
    ASSERT_GE(all.size(), afterStart.size() + frame.size());
    EXPECT_EQ(Bytes(all.begin() + afterStart.size(), all.begin() + afterStart.size() + frame.size()), frame);
}

TEST_F(DriverOnSimulator, StartCreatesLastTicketsFileAndEmptyDebugLog) {
    EXPECT_TRUE(std::filesystem::exists(dir.path() / ".lastTickets"));
    int logs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        if (entry.path().filename().string().rfind("dbg_elx_", 0) == 0) {
            ++logs;
            EXPECT_EQ(std::filesystem::file_size(entry.path()), 0u);
        }
    EXPECT_EQ(logs, 1);
}

TEST_F(DriverOnSimulator, FirmwareVersionIsReplyText) {
    sim.command("version ELG 2.7.1");
    const auto version = driver->getFirmwareVersion();
    ASSERT_TRUE(version);
    EXPECT_EQ(*version, "ELG 2.7.1");
}

TEST_F(DriverOnSimulator, PingRunsStatusQuery) {
    EXPECT_FALSE(driver->ping());
    const auto frames = sim.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].letter, '?');
    EXPECT_TRUE(frames[0].lrcOk);
}

TEST_F(DriverOnSimulator, StopClosesAndCommandsNoLongerReachPrinter) {
    driver->stop();
    EXPECT_FALSE(driver->isRunning());
    EXPECT_EQ(driver->getStatus().error(), ErrorCode::Timeout);
    driver->stop();
    EXPECT_TRUE(sim.frames().empty());
}

TEST_F(DriverOnSimulator, ModeDetection) {
    Driver idle(sim.link(), fastTiming());
    EXPECT_EQ(idle.detectOperationalMode(), Normal);
    EXPECT_EQ(driver->detectOperationalMode(), Normal);

    EXPECT_FALSE(driver->setOperationalMode(Programming));
    EXPECT_EQ(sim.command("mode"), std::vector<std::string>{"mode bootloader"});
    driver->stop();

    Driver probe(sim.link(), fastTiming());
    EXPECT_EQ(probe.detectOperationalMode(), Programming);
}

TEST_F(DriverOnSimulator, ModeSwitchRefusedIsReported) {
    sim.command("nak 15");
    captureLog();
    EXPECT_EQ(driver->setOperationalMode(Normal), ErrorCode::ModuleFailedToAcknowledge);
    EXPECT_THAT(capturedLog(), HasSubstr("Could not set device mode: ModuleFailedToAcknowledge"));
}

TEST_F(DriverOnSimulator, RefusalByteGivesModuleFailedToAcknowledge) {
    sim.command("nak 15");
    captureLog();
    EXPECT_EQ(driver->dispose(), ErrorCode::ModuleFailedToAcknowledge);
    const std::string log = capturedLog();
    EXPECT_THAT(log, HasSubstr("ACK failed. received: 21"));
    EXPECT_THAT(log, HasSubstr("Wrapper thread was done. joining..."));
}

TEST_F(DriverOnSimulator, NoAcknowledgeWithinLinkRetriesGivesModuleFailedToAcknowledge) {
    sim.command("noack");
    captureLog();
    EXPECT_EQ(driver->eject(), ErrorCode::ModuleFailedToAcknowledge);
    EXPECT_THAT(capturedLog(), HasSubstr("ACK failed. received: -2"));
}

TEST_F(DriverOnSimulator, AcknowledgeLimitGivesTimeoutAndWorkerEndsByItself) {
    Timing timing = fastTiming();
    timing.readTimeoutMs = 1000; // the link alone would wait 10 s
    timing.ackLimit = std::chrono::milliseconds(300);
    restart(timing);
    sim.command("noack");
    const int threadsBefore = threadCount();
    captureLog();
    EXPECT_EQ(driver->dispose(), ErrorCode::Timeout);
    const std::string log = capturedLog();
    EXPECT_THAT(log, HasSubstr("ACK timed-out"));
    EXPECT_THAT(log, HasSubstr("Wrapper thread was not done. Killing!"));
    EXPECT_EQ(threadCount(), threadsBefore);

    // The link is free again: the next exchange goes through.
    sim.command("normal");
    EXPECT_FALSE(driver->ping());
}

TEST_F(DriverOnSimulator, AcknowledgedButSilentPrinterGivesTimeoutAfterReplyLimit) {
    Timing timing = fastTiming();
    timing.replyLimit = std::chrono::milliseconds(400);
    restart(timing);
    sim.command("silent");
    const int threadsBefore = threadCount();
    captureLog();
    EXPECT_EQ(driver->eject(), ErrorCode::Timeout);
    const std::string log = capturedLog();
    EXPECT_THAT(log, HasSubstr("Reply timed-out"));
    EXPECT_THAT(log, HasSubstr("Wrapper thread was not done. Killing!"));
    EXPECT_EQ(threadCount(), threadsBefore);

    sim.command("normal");
    EXPECT_FALSE(driver->ping());
}

TEST_F(DriverOnSimulator, StopFromAnotherThreadEndsRunningExchange) {
    sim.command("silent");
    std::error_code result;
    std::thread caller([&] { result = driver->eject(); });
    ASSERT_TRUE(sim.waitForFrames(1));
    driver->stop();
    caller.join();
    EXPECT_TRUE(result);
    EXPECT_NE(result, ErrorCode::Success);
    EXPECT_FALSE(driver->isRunning());
}

TEST_F(DriverOnSimulator, RestartAfterStopAndAfterTimeout) {
    Timing timing = fastTiming();
    timing.replyLimit = std::chrono::milliseconds(300);
    restart(timing);
    sim.command("silent");
    EXPECT_EQ(driver->dispose(), ErrorCode::Timeout);
    sim.command("normal");
    driver->stop();
    EXPECT_FALSE(driver->start());
    EXPECT_FALSE(driver->ping());
}

TEST_F(DriverOnSimulator, EndlessDlesGiveTimeoutAfterReplyLimit) {
    Timing timing = fastTiming();
    timing.replyLimit = std::chrono::milliseconds(300);
    restart(timing);
    sim.command("dles -1");
    captureLog();
    EXPECT_EQ(driver->dispose(), ErrorCode::Timeout);
    const std::string log = capturedLog();
    EXPECT_THAT(log, HasSubstr("Reply timed-out"));
    EXPECT_THAT(log, HasSubstr("WaitCallback: Wait"));
}

TEST_F(DriverOnSimulator, ExhaustedLinkPollsGiveTimeout) {
    // 100 polls 10 ms apart end long before the production reply limit.
    sim.command("dles -1");
    captureLog();
    EXPECT_EQ(driver->dispose(), ErrorCode::Timeout);
    EXPECT_THAT(capturedLog(), HasSubstr("WaitCallback: Error(-2)"));
}

TEST_F(DriverOnSimulator, WrongEchoGivesUnknownError) {
    sim.command("echo X");
    EXPECT_EQ(driver->dispose(), ErrorCode::UnknownError);
    EXPECT_EQ(driver->getFirmwareVersion().error(), ErrorCode::UnknownError);
}

TEST_F(DriverOnSimulator, GarbageAnswerGivesMalformedResponse) {
    sim.command("garbage");
    captureLog();
    EXPECT_EQ(driver->eject(), ErrorCode::MalformedResponse);
    EXPECT_THAT(capturedLog(), HasSubstr("WaitCallback: Error(-1)"));
}

TEST_F(DriverOnSimulator, WrongReplyLrcIsAccepted) {
    sim.command("badlrc");
    EXPECT_FALSE(driver->dispose());
}

TEST_F(DriverOnSimulator, SlowReplyWithinLimitSucceeds) {
    sim.command("delay 300");
    EXPECT_FALSE(driver->dispose());
}

TEST_F(DriverOnSimulator, ExecuteLogsEveryCommandButStatus) {
    captureLog();
    std::string response, code;
    EXPECT_FALSE(driver->execute(response, code, 'y', "530001"));
    ASSERT_TRUE(driver->getStatus());
    const std::string log = capturedLog();
    EXPECT_THAT(log,
                HasSubstr("[EltraSistemi::ELG150191::Driver] Sending command 'y' [79 ] with data '530001' "
                          "[35 33 30 30 30 31 ]"));
    EXPECT_THAT(log, Not(HasSubstr("Sending command '?'")));
    EXPECT_EQ(code, "000");
}

TEST_F(DriverOnSimulator, ExecuteHandsBackReplyDataAndCode) {
    sim.command("reply L 006 some data");
    std::string response, code;
    EXPECT_FALSE(driver->execute(response, code, 'L', "30000000000000\n"));
    EXPECT_EQ(response, "some data");
    EXPECT_EQ(code, "006");
    const auto frames = sim.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, "30000000000000\n");
}

struct CodeCase {
    const char* code;
    ErrorCode expected;
    bool jams;
};

class DisposeCodes : public DriverOnSimulator, public ::testing::WithParamInterface<CodeCase> {};

TEST_P(DisposeCodes, MapSecondCodeCharacter) {
    sim.command(std::string("reply : ") + GetParam().code);
    EXPECT_EQ(driver->dispose(), GetParam().expected);
    EXPECT_EQ(driver->isJammed(), GetParam().jams);
}

INSTANTIATE_TEST_SUITE_P(Table, DisposeCodes,
                         ::testing::Values(CodeCase{"000", ErrorCode::Success, false},
                                           CodeCase{"010", ErrorCode::NoTicketInMouth, false},
                                           CodeCase{"020", ErrorCode::JammingError, true},
                                           CodeCase{"040", ErrorCode::TicketAlreadyDisposed, false},
                                           CodeCase{"080", ErrorCode::TicketNotDisposed, false},
                                           CodeCase{"030", ErrorCode::UnknownError, false},
                                           CodeCase{"900", ErrorCode::Success, false}));

class EjectCodes : public DriverOnSimulator, public ::testing::WithParamInterface<CodeCase> {};

TEST_P(EjectCodes, MapSecondCodeCharacter) {
    sim.command(std::string("reply @ ") + GetParam().code);
    EXPECT_EQ(driver->eject(), GetParam().expected);
    EXPECT_EQ(driver->isJammed(), GetParam().jams);
}

INSTANTIATE_TEST_SUITE_P(Table, EjectCodes,
                         ::testing::Values(CodeCase{"000", ErrorCode::Success, false},
                                           CodeCase{"020", ErrorCode::JammingError, true},
                                           CodeCase{"040", ErrorCode::NoTicketUnderAntena, false},
                                           CodeCase{"010", ErrorCode::UnknownError, false},
                                           CodeCase{"080", ErrorCode::UnknownError, false}));

TEST_F(DriverOnSimulator, JammedFlagStaysUntilCleared) {
    sim.command("reply : 020");
    EXPECT_EQ(driver->dispose(), ErrorCode::JammingError);
    EXPECT_TRUE(driver->isJammed());
    EXPECT_FALSE(driver->dispose());
    EXPECT_TRUE(driver->isJammed());
    driver->clearJamming();
    EXPECT_FALSE(driver->isJammed());
}

TEST_F(DriverOnSimulator, EjectSuccessIsLogged) {
    captureLog();
    EXPECT_FALSE(driver->eject());
    const std::string log = capturedLog();
    EXPECT_THAT(log, HasSubstr("Ejecting paper ticket..."));
    EXPECT_THAT(log, HasSubstr("Ticket ejected successfully"));
}

} // namespace
