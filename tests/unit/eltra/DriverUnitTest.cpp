#include "PtyPeer.h"
#include "WorkDir.h"

#include "ErrorCode.h"
#include "dispensers/eltra/Config.h"
#include "dispensers/eltra/Dimension.h"
#include "dispensers/eltra/Driver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>

using namespace zelmo::Corvane;
using namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191;
using corvane::test::WorkDir;

namespace {

struct CodeCase {
    const char* code;
    ErrorCode expected;
};

class ReportToEc : public ::testing::TestWithParam<CodeCase> {};

TEST_P(ReportToEc, MapsPrinterCode) {
    EXPECT_EQ(Driver::reportToEc(GetParam().code), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReportToEc,
    ::testing::Values(CodeCase{"007", ErrorCode::LastTicket},
                      CodeCase{"006", ErrorCode::SecondFromLastTicket},
                      CodeCase{"008", ErrorCode::TicketInMouth}, CodeCase{"010", ErrorCode::NoMoreTickets},
                      CodeCase{"020", ErrorCode::JammingError}, CodeCase{"030", ErrorCode::TicketInTransport},
                      CodeCase{"040", ErrorCode::ValueOutOfRange}, CodeCase{"070", ErrorCode::FontNotPresent},
                      CodeCase{"100", ErrorCode::JammingError}, CodeCase{"500", ErrorCode::MalformedRequest},
                      CodeCase{"700", ErrorCode::WrongDeviceConfiguration},
                      CodeCase{"900", ErrorCode::WrongPrinterConfiguration},
                      CodeCase{"000", ErrorCode::UnknownError}, CodeCase{"", ErrorCode::UnknownError},
                      CodeCase{"0070", ErrorCode::UnknownError}));

struct DimensionCase {
    int value;
    int width;
    bool ok;
    const char* text;
};

class ParseDimention : public ::testing::TestWithParam<DimensionCase> {};

TEST_P(ParseDimention, FormatsLowerCaseHex) {
    std::string out = "untouched";
    const std::error_code ec = Driver::parseDimention(GetParam().value, GetParam().width, out);
    if (GetParam().ok) {
        EXPECT_FALSE(ec);
        EXPECT_EQ(out, GetParam().text);
    } else {
        EXPECT_EQ(ec, ErrorCode::ValueOutOfRange);
        EXPECT_EQ(out, "untouched");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseDimention,
    ::testing::Values(DimensionCase{0, 4, true, "0000"}, DimensionCase{125, 4, true, "007d"},
                      DimensionCase{300, 4, true, "012c"}, DimensionCase{2, 2, true, "02"},
                      DimensionCase{255, 2, true, "ff"}, DimensionCase{65535, 4, true, "ffff"},
                      DimensionCase{256, 2, false, ""}, DimensionCase{300, 2, false, ""},
                      DimensionCase{65536, 4, false, ""}, DimensionCase{-1, 4, false, ""}));

TEST(ElgConfig, Defaults) {
    Config config;
    EXPECT_EQ(config.thermalTime(), 6);
    EXPECT_EQ(config.folder(), 1);
    EXPECT_EQ(config.ccsid(), 1256);
    EXPECT_EQ(config.qrEcc(), QrEcc::Low);
    EXPECT_EQ(config.cutOffsetType(Types::Reel::Reel1), Manual);
    EXPECT_EQ(config.cutOffsetType(Types::Reel::Reel2), BlackMarkTop);
    EXPECT_EQ(config.cutOffset(Types::Reel::Reel1), 232);
    EXPECT_EQ(config.cutOffset(Types::Reel::Reel2), 125);
    const auto doc = config.toJson();
    EXPECT_EQ(doc["reel1"]["cutOffsetType"], "manual");
    EXPECT_EQ(doc["reel2"]["cutOffset"], 125);
    EXPECT_EQ(doc["qrEcc"], "low");
}

TEST(ElgConfig, QrEccLevels) {
    Config config;
    config.updateFromJson({{"qrEcc", "high"}});
    EXPECT_EQ(config.qrEcc(), QrEcc::High);
    config.updateFromJson({{"qrEcc", "medium"}});
    EXPECT_EQ(config.qrEcc(), QrEcc::High);
    EXPECT_EQ(config.get("qrEcc").toString(), "medium");
}

TEST(ElgConfig, CutOffsetTypes) {
    Config config;
    config.updateFromJson(
        {{"reel1", {{"cutOffsetType", "blackMarkBottom"}}}, {"reel2", {{"cutOffsetType", "sideways"}}}});
    EXPECT_EQ(config.cutOffsetType(Types::Reel::Reel1), BlackMarkBottom);
    EXPECT_EQ(config.cutOffsetType(Types::Reel::Reel2), BlackMarkTop);
    EXPECT_EQ(config.get("reel2/cutOffsetType").toString(), "sideways");
}

TEST(ElgDriver, Identity) {
    WorkDir dir;
    Driver driver("/dev/null-printer");
    EXPECT_EQ(driver.getManufacturer().value(), "EltraSistemi");
    EXPECT_EQ(driver.getModel().value(), "ELG150191");
    EXPECT_EQ(driver.getConnectionType().value(), Dispensers::Serial);
    EXPECT_FALSE(driver.launchExtra());
    EXPECT_EQ(driver.park(), ErrorCode::MalformedRequest);
    EXPECT_EQ(driver.getConfig()["folder"], 1);
}

TEST(ElgDriver, StatusWithoutStartIsTimeoutAndSendsNothing) {
    WorkDir dir;
    Driver driver("/dev/null-printer");
    const auto status = driver.getStatus();
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error(), ErrorCode::Timeout);
    EXPECT_EQ(driver.ping(), ErrorCode::Timeout);
}

TEST(ElgDriver, StartOnMissingDeviceThrowsAndStaysStopped) {
    WorkDir dir;
    Driver driver(dir.path().string() + "/no-such-tty");
    try {
        driver.start();
        FAIL() << "start() did not throw";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Failed to open device! (You need to run as root)");
    }
    EXPECT_FALSE(driver.isRunning());
    // A second attempt tries the device again instead of reporting success.
    EXPECT_THROW(driver.start(), std::invalid_argument);
}

TEST(ElgDriver, StartOnSilentDeviceThrowsInitialize) {
    WorkDir dir;
    PtyPeer peer;
    Timing timing;
    timing.readTimeoutMs = 10;
    Driver driver(peer.slavePath(), timing);
    try {
        driver.start();
        FAIL() << "start() did not throw";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Failed to initialize device");
    }
    EXPECT_FALSE(driver.isConnected());
}

// A silent printer is started again and again by the daemon: its links must not leave a file each.
TEST(ElgDriver, RepeatedStartsOnSilentDeviceLeaveNoDebugLogs) {
    WorkDir dir;
    PtyPeer peer;
    Timing timing;
    timing.readTimeoutMs = 10;
    Driver driver(peer.slavePath(), timing);
    for (int attempt = 0; attempt < 3; ++attempt)
        EXPECT_THROW(driver.start(), std::invalid_argument);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_NE(entry.path().filename().string().rfind("dbg_elx_", 0), 0u) << entry.path();
}

// Plays a printer that answers every poll with a ready reply and refuses every command frame (NAK).
class RefusingPrinter {
public:
    explicit RefusingPrinter(PtyPeer& peer)
        : mPeer(peer), mThread([this](std::stop_token stop) { run(stop); }) {}

private:
    void run(const std::stop_token& stop) {
        bool escape = false;
        bool inFrame = false;
        while (!stop.stop_requested()) {
            pollfd pfd{mPeer.master(), POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0)
                continue;
            uint8_t buffer[256];
            const ssize_t n = read(mPeer.master(), buffer, sizeof(buffer));
            for (ssize_t i = 0; i < n; ++i) {
                const uint8_t byte = buffer[i];
                if (inFrame) {
                    if (byte == 0x04) {
                        inFrame = false;
                        mPeer.send({0x15});
                    }
                } else if (escape && byte == 0x05) {
                    mPeer.send(replyFrame(':', "000", ""));
                } else if (escape && byte == 0x02) {
                    inFrame = true;
                }
                escape = !inFrame && byte == 0x12;
            }
        }
    }

    PtyPeer& mPeer;
    std::jthread mThread;
};

TEST(ElgDriver, InputQueuedBeforeACommandIsNotTakenAsItsAcknowledge) {
    WorkDir dir;
    PtyPeer peer;
    RefusingPrinter printer(peer);
    Timing timing;
    timing.readTimeoutMs = 50;
    timing.pollIntervalMs = 10;
    Driver driver(peer.slavePath(), timing);
    ASSERT_FALSE(driver.start());

    // A late acknowledge of some exchange given up earlier waits on the line.
    peer.send({0x06});
    EXPECT_EQ(driver.dispose(), ErrorCode::ModuleFailedToAcknowledge);
    driver.stop();
}

TEST(ElgDriver, DetectModeOnMissingDeviceIsCorrupted) {
    WorkDir dir;
    Driver driver(dir.path().string() + "/no-such-tty");
    EXPECT_EQ(driver.detectOperationalMode(), Corrupted);
}

TEST(ElgDriver, CommandsBeforeStartFailWithoutHanging) {
    WorkDir dir;
    Driver driver("/dev/null-printer");
    EXPECT_EQ(driver.dispose(), ErrorCode::ModuleFailedToAcknowledge);
    EXPECT_EQ(driver.getFirmwareVersion().error(), ErrorCode::ModuleFailedToAcknowledge);
}

TEST(ElgDriver, ReplyToStringListsFields) {
    elx_reply reply{};
    reply.type = 0x02;
    reply.cmd = '?';
    reply.addr = 0x42;
    reply.code[0] = '0';
    reply.code[1] = '1';
    reply.code[2] = '0';
    std::strcpy(reply.data, "AB");
    reply.data_len = 2;
    reply.lrc = 0x363e;
    EXPECT_EQ(Driver::replyToString(reply), "Type    : 0x02\n"
                                            "Error   : 0x00\n"
                                            "Cmd     : 0x3f\n"
                                            "Addr    : 0x42\n"
                                            "Code[0] : 0x30\n"
                                            "Code[1] : 0x31\n"
                                            "Code[2] : 0x30\n"
                                            "Data len: 0x02\n"
                                            "Data    : AB\r\n"
                                            "LRC     : 0x363e\n");
    reply.data_len = 0;
    EXPECT_EQ(Driver::replyToString(reply).find("Data    :"), std::string::npos);
}

} // namespace
