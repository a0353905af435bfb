#include "PtyPeer.h"
#include "WorkDir.h"

#include "dispensers/eltra/Elx.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/resource.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<uint8_t>;
using corvane::test::WorkDir;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

std::vector<int> callbackValues;
void recordCallback(int value) {
    callbackValues.push_back(value);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class ElxLink : public ::testing::Test {
protected:
    void SetUp() override {
        callbackValues.clear();
        init_conf(&conf, 1);
        std::strncpy(conf.port, peer.slavePath().c_str(), sizeof(conf.port) - 1);
        // Keep waits short: the tests queue the printer's answers before the link asks for them.
        conf.read_timeout = {0, 20000};
        conf.poll_interval_ms = 1;
        ASSERT_GE(open_dev(&conf), 0);
    }
    void TearDown() override { close_dev(&conf); }

    std::string debugLog() {
        std::fflush(conf.log);
        return readFile(conf.log_name);
    }

    WorkDir dir;
    PtyPeer peer;
    elx_conf conf{};
};

elx_cmd command(char letter, const std::string& data) {
    return elx_cmd{letter, data.data(), static_cast<int>(data.size())};
}

} // namespace

TEST_F(ElxLink, StatusCommandFrameIsExact) {
    peer.send({0x06});
    const elx_cmd cmd{'?', nullptr, 0};
    EXPECT_EQ(send_cmd(&cmd, &conf), 0x06);
    EXPECT_THAT(peer.received(8), ElementsAre(0x12, 0x02, 0x42, 0x3F, 0x03, 0x36, 0x3E, 0x04));
}

TEST_F(ElxLink, CommandFrameCarriesDataAndLrc) {
    peer.send({0x06});
    const std::string data = "530001";
    const elx_cmd cmd = command('y', data);
    EXPECT_EQ(send_cmd(&cmd, &conf), 0x06);
    Bytes expected = {0x12, 0x02, 0x42, 'y', '5', '3', '0', '0', '0', '1', 0x03};
    uint8_t lrc = 0;
    for (uint8_t b : expected)
        lrc ^= b;
    expected.push_back(static_cast<uint8_t>((lrc >> 4) + 0x30));
    expected.push_back(static_cast<uint8_t>((lrc & 0x0F) + 0x30));
    expected.push_back(0x04);
    EXPECT_THAT(peer.received(expected.size()), ElementsAreArray(expected));
}

TEST_F(ElxLink, NonZeroAddressReplacesDefaultInFramesAndExtendsPolls) {
    conf.address = 0x31;
    peer.send({0x06});
    const elx_cmd cmd{'?', nullptr, 0};
    EXPECT_EQ(send_cmd(&cmd, &conf), 0x06);
    // LRC = 12 ^ 02 ^ 31 ^ 3F ^ 03 = 0x1D
    EXPECT_THAT(peer.received(8), ElementsAre(0x12, 0x02, 0x31, 0x3F, 0x03, 0x31, 0x3D, 0x04));

    peer.send({0x10});
    elx_reply* reply = poll_dev(&conf, nullptr);
    ASSERT_NE(reply, nullptr);
    release_reply(&reply);
    EXPECT_THAT(peer.received(3), ElementsAre(0x12, 0x05, 0x31));
}

TEST_F(ElxLink, DefaultPollIsTwoBytes) {
    peer.send({0x10});
    elx_reply* reply = poll_dev(&conf, nullptr);
    ASSERT_NE(reply, nullptr);
    release_reply(&reply);
    EXPECT_THAT(peer.received(2), ElementsAre(0x12, 0x05));
}

TEST_F(ElxLink, NonAckAnswerIsHandedBackUnchanged) {
    peer.send({0x15});
    const elx_cmd cmd{':', nullptr, 0};
    EXPECT_EQ(send_cmd(&cmd, &conf), 0x15);
}

TEST_F(ElxLink, DleAnswerGivesEmptyDleReply) {
    peer.send({0x10});
    elx_reply* out = nullptr;
    elx_reply* reply = poll_dev(&conf, &out);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(out, reply);
    EXPECT_EQ(reply->type, 0x10);
    EXPECT_EQ(reply->cmd, 0);
    EXPECT_EQ(reply->addr, 0);
    EXPECT_EQ(reply->code[0], 0);
    EXPECT_EQ(reply->data_len, 0);
    EXPECT_EQ(reply->lrc, 0);
    EXPECT_EQ(reply->error, 0);
    release_reply(&reply);
    EXPECT_EQ(reply, nullptr);
}

TEST_F(ElxLink, ReplyFrameFieldsAreParsed) {
    const Bytes frame = replyFrame('?', "012", "000000001");
    peer.send(frame);
    elx_reply* reply = poll_dev(&conf, nullptr);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->type, 0x02);
    EXPECT_EQ(reply->addr, 0x42);
    EXPECT_EQ(reply->cmd, '?');
    EXPECT_EQ(std::string(reply->code, 3), "012");
    EXPECT_STREQ(reply->data, "000000001");
    EXPECT_EQ(reply->data_len, 9);
    EXPECT_EQ(reply->lrc, (frame[frame.size() - 3] << 8) | frame[frame.size() - 2]);
    EXPECT_EQ(reply->error, 0);
    release_reply(&reply);
}

TEST_F(ElxLink, ReplyWithoutDataHasEmptyText) {
    peer.send(replyFrame(':', "000", ""));
    elx_reply* reply = poll_dev(&conf, nullptr);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->data_len, 0);
    EXPECT_STREQ(reply->data, "");
    release_reply(&reply);
}

// A reply whose header is cut short by an EOT carries no complete code: it must not pass as an answer.
TEST_F(ElxLink, EotInsideHeaderGivesNoReplyAndLineStaysInStep) {
    const Bytes header = {0x42, '?', '0', '0', '0'};
    for (std::size_t kept = 0; kept < header.size(); ++kept) {
        Bytes frame = {0x02};
        frame.insert(frame.end(), header.begin(), header.begin() + static_cast<long>(kept));
        frame.push_back(0x04);
        peer.send(frame);
        peer.send({0x10});
        elx_reply stale{};
        elx_reply* out = &stale; // must be overwritten
        EXPECT_EQ(poll_dev(&conf, &out), nullptr) << kept << " header bytes";
        EXPECT_EQ(out, nullptr);
        elx_reply* next = poll_dev(&conf, nullptr);
        ASSERT_NE(next, nullptr);
        EXPECT_EQ(next->type, 0x10);
        release_reply(&next);
    }
    EXPECT_THAT(debugLog(), ::testing::HasSubstr("Reply header cut short after 4 bytes"));
}

TEST_F(ElxLink, WaitReplyOnCutHeaderGivesNoReply) {
    peer.send({0x10, 0x02, 0x42, 'L', '0', 0x04});
    callbackValues.clear();
    EXPECT_EQ(wait_reply(&conf, nullptr, recordCallback), nullptr);
    EXPECT_THAT(callbackValues, ElementsAre(0x10, -1));
}

TEST_F(ElxLink, EotInDataIsKeptAsLastDataByte) {
    peer.send({0x02, 0x42, '}', '0', '0', '0', 'v', '1', 0x04});
    elx_reply* reply = poll_dev(&conf, nullptr);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->data_len, 3);
    EXPECT_EQ(std::string(reply->data, 3), std::string("v1\x04"));
    release_reply(&reply);
}

TEST_F(ElxLink, WrongLrcIsAccepted) {
    peer.send(replyFrame('@', "000", "x", false));
    elx_reply* reply = poll_dev(&conf, nullptr);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->cmd, '@');
    EXPECT_STREQ(reply->data, "x");
    release_reply(&reply);
}

TEST_F(ElxLink, TrailingBytesBeforeEotAreIgnoredAndLineStaysInStep) {
    Bytes frame = replyFrame('?', "000", "000000000");
    frame.insert(frame.end() - 1, {'z', 'z'});
    peer.send(frame);
    peer.send({0x10});
    elx_reply* reply = poll_dev(&conf, nullptr);
    ASSERT_NE(reply, nullptr);
    EXPECT_STREQ(reply->data, "000000000");
    release_reply(&reply);
    reply = poll_dev(&conf, nullptr);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->type, 0x10);
    release_reply(&reply);
}

TEST_F(ElxLink, LongestReplyThatFitsIsComplete) {
    const std::string data(ELX_MAX_DATA, 'a');
    peer.send(replyFrame('L', "000", data));
    elx_reply* reply = poll_dev(&conf, nullptr);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->data_len, ELX_MAX_DATA);
    EXPECT_EQ(std::string(reply->data), data);
    release_reply(&reply);
}

TEST_F(ElxLink, ReplyLongerThanDataAreaFailsThePollWithoutLosingStep) {
    peer.send(replyFrame('L', "000", std::string(1100, 'b')));
    peer.send({0x10});
    elx_reply stale{};
    elx_reply* out = &stale; // must be overwritten
    EXPECT_EQ(poll_dev(&conf, &out), nullptr);
    EXPECT_EQ(out, nullptr);
    EXPECT_THAT(debugLog(), ::testing::HasSubstr("Reply data exceeds 1023 bytes"));
    elx_reply* next = poll_dev(&conf, nullptr);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->type, 0x10);
    release_reply(&next);
}

TEST_F(ElxLink, UnknownFirstByteGivesNoReply) {
    peer.send({0x7F});
    elx_reply* out = nullptr;
    EXPECT_EQ(poll_dev(&conf, &out), nullptr);
    EXPECT_EQ(out, nullptr);
}

TEST_F(ElxLink, FrameCutShortBeforeEotGivesNoReply) {
    peer.send({0x02, 0x42, '?', '0', '0', '0', 'a'});
    EXPECT_EQ(poll_dev(&conf, nullptr), nullptr);
}

TEST_F(ElxLink, SilentPrinterRunsOutOfRetries) {
    const elx_cmd cmd{'?', nullptr, 0};
    EXPECT_EQ(send_cmd(&cmd, &conf), -2);
    EXPECT_EQ(poll_dev(&conf, nullptr), nullptr);
    const std::string log = debugLog();
    for (int i = 1; i <= 10; ++i)
        EXPECT_THAT(log, ::testing::HasSubstr("rdch_dev timeout " + std::to_string(i) + "/10\r\n"));
    EXPECT_THAT(log, ::testing::HasSubstr("Reached max retries 10\r\n"));
    EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("rdch_dev timeout 11/")));
}

TEST_F(ElxLink, ByteReadTimesOut) {
    unsigned char out = 0;
    EXPECT_EQ(rdch_dev(&conf, &out), -1);
    EXPECT_EQ(out, 0xFF);
    peer.send({0x41});
    EXPECT_EQ(rdch_dev(&conf, &out), 0x41);
    EXPECT_EQ(out, 0x41);
}

// Descriptors at or above FD_SETSIZE are ordinary in a daemon with many connections.
TEST_F(ElxLink, HighDescriptorReadsAndWritesWithoutOverrun) {
    constexpr int high = 4 * FD_SETSIZE;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur <= static_cast<rlim_t>(high)) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, high + 1);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur <= static_cast<rlim_t>(high))
        GTEST_SKIP() << "descriptor limit too low";
    ASSERT_EQ(dup2(conf.fd, high), high);
    close(conf.fd);
    conf.fd = high;

    unsigned char out = 0;
    EXPECT_EQ(rdch_dev(&conf, &out), -1);
    peer.send({0x41, 0x10});
    EXPECT_EQ(rdch_dev(&conf, &out), 0x41);
    EXPECT_EQ(wrch_dev(&conf, 0x12), 1);
    EXPECT_THAT(peer.received(1), ElementsAre(0x12));
    elx_reply* reply = poll_dev(&conf, nullptr);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->type, 0x10);
    release_reply(&reply);
}

TEST_F(ElxLink, ByteReadOnClosedLinkFails) {
    close_dev(&conf);
    unsigned char out = 0;
    EXPECT_LT(rdch_dev(&conf, &out), -1);
    EXPECT_EQ(wrch_dev(&conf, 0x12), -1);
}

TEST_F(ElxLink, WaitReplyReturnsReplyAfterDles) {
    peer.send({0x10, 0x10});
    peer.send(replyFrame('}', "000", "FW 1.2"));
    elx_reply* out = nullptr;
    elx_reply* reply = wait_reply(&conf, &out, recordCallback);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(out, reply);
    EXPECT_STREQ(reply->data, "FW 1.2");
    EXPECT_THAT(callbackValues, ElementsAre(16, 16, 2));
    EXPECT_THAT(debugLog(), ::testing::HasSubstr("sleeping 2/100\r\n"));
    release_reply(&reply);
}

TEST_F(ElxLink, DleForeverExhaustsPolls) {
    peer.send(Bytes(100, 0x10));
    elx_reply* out = nullptr;
    elx_reply* reply = wait_reply(&conf, &out, recordCallback);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(out, reply);
    EXPECT_EQ(reply->type, 0x10);
    EXPECT_EQ(reply->error, 1);
    ASSERT_EQ(callbackValues.size(), 101u);
    EXPECT_EQ(std::count(callbackValues.begin(), callbackValues.end(), 16), 100);
    EXPECT_EQ(callbackValues.back(), -2);
    release_reply(&reply);
    // Exactly 100 polls went out.
    EXPECT_EQ(peer.received(200).size(), 200u);
}

TEST_F(ElxLink, WaitReplyEndsWhenPollYieldsNothing) {
    peer.send({0x10, 0x7F});
    EXPECT_EQ(wait_reply(&conf, nullptr, recordCallback), nullptr);
    EXPECT_THAT(callbackValues, ElementsAre(16, -1));
}

TEST_F(ElxLink, WaitReplyWithoutPollsGivesUp) {
    conf.max_polls = 0;
    EXPECT_EQ(wait_reply(&conf, nullptr, recordCallback), nullptr);
    EXPECT_THAT(callbackValues, ElementsAre(-2));
    EXPECT_TRUE(peer.received().empty());
}

TEST_F(ElxLink, SendAndWaitAfterNonAckGivesEmptyErrorReply) {
    peer.send({0x15});
    const elx_cmd cmd{'@', nullptr, 0};
    elx_reply* out = nullptr;
    elx_reply* reply = send_cmd_and_wait_reply(&cmd, &conf, &out, recordCallback);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(out, reply);
    EXPECT_EQ(reply->error, 2);
    EXPECT_EQ(reply->type, 0);
    EXPECT_EQ(reply->data_len, 0);
    EXPECT_TRUE(callbackValues.empty());
    release_reply(&reply);
}

TEST_F(ElxLink, SendAndWaitAfterAckReturnsReply) {
    peer.send({0x06, 0x10});
    peer.send(replyFrame('@', "000", ""));
    const elx_cmd cmd{'@', nullptr, 0};
    elx_reply* reply = send_cmd_and_wait_reply(&cmd, &conf, nullptr, nullptr);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->cmd, '@');
    EXPECT_EQ(reply->error, 0);
    release_reply(&reply);
}

TEST_F(ElxLink, DrainingStopsAfterByteWithTopBitSet) {
    peer.send({'a', 'b', 0x80, 'c'});
    consume_usb_inbuffer(&conf);
    EXPECT_EQ(rdch_dev(&conf, nullptr), 'c');
}

TEST_F(ElxLink, AbandonedExchangeReturnsWithoutWaitingOut) {
    std::atomic<bool> abandon{true};
    conf.abandon = &abandon;
    conf.read_timeout = {3600, 0};
    conf.poll_interval_ms = 3600 * 1000;
    const elx_cmd cmd{'?', nullptr, 0};
    EXPECT_LT(send_cmd(&cmd, &conf), 0);
    EXPECT_EQ(poll_dev(&conf, nullptr), nullptr);
    EXPECT_EQ(rdch_dev(&conf, nullptr), -1);
}

TEST_F(ElxLink, AbandonDuringPollPauseEndsWait) {
    static std::atomic<bool> abandon;
    abandon = false;
    conf.abandon = &abandon;
    conf.poll_interval_ms = 3600 * 1000;
    peer.send({0x10});
    // The owner gives up as soon as the first DLE has been seen, so the wait is in its pause.
    auto giveUp = [](int value) {
        recordCallback(value);
        abandon = true;
    };
    EXPECT_EQ(wait_reply(&conf, nullptr, giveUp), nullptr);
    EXPECT_THAT(callbackValues, ElementsAre(16));
}

TEST(ElxConf, DefaultsAndDebugLogInWorkingDirectory) {
    WorkDir dir;
    elx_conf conf{};
    init_conf(&conf, 1);
    EXPECT_EQ(conf.poll_interval_ms, 200);
    EXPECT_EQ(conf.max_polls, 100);
    EXPECT_EQ(conf.address, 0);
    EXPECT_EQ(conf.read_timeout.tv_sec, 1);
    EXPECT_EQ(conf.read_timeout.tv_usec, 0);
    EXPECT_EQ(conf.max_retries, 10);
    EXPECT_STREQ(conf.port, "/dev/ttyUSB0");
    EXPECT_EQ(conf.baud, static_cast<unsigned>(B9600));
    EXPECT_EQ(conf.fd, -1);
    EXPECT_TRUE(std::regex_match(
        conf.log_name, std::regex(R"(dbg_elx_\d{4}-\d{1,2}-\d{1,2}_\d{1,2}\.\d{1,2}\.\d{1,2}\.log)")));
    ASSERT_NE(conf.log, nullptr);
    dbg(&conf, "hello %d\r\n", 7);
    EXPECT_EQ(readFile((dir.path() / conf.log_name).string()), "hello 7\r\n");
    close_dev(&conf);
    EXPECT_EQ(conf.log, nullptr);
}

TEST(ElxConf, EmptyDebugLogIsRemovedAtCloseAndWrittenOneIsKept) {
    WorkDir dir;
    elx_conf quiet{};
    init_conf(&quiet, 1);
    const std::string quietName = quiet.log_name;
    ASSERT_TRUE(std::filesystem::exists(dir.path() / quietName));
    close_dev(&quiet);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / quietName));

    elx_conf talking{};
    init_conf(&talking, 1);
    dbg(&talking, "TX> 12 05\r\n");
    close_dev(&talking);
    EXPECT_EQ(readFile((dir.path() / talking.log_name).string()), "TX> 12 05\r\n");
}

TEST(ElxConf, NoDebugMeansNoLogFile) {
    WorkDir dir;
    elx_conf conf{};
    init_conf(&conf, 0);
    EXPECT_EQ(conf.log, nullptr);
    dbg(&conf, "nothing\r\n");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(ElxConf, OpenFailureGivesMinusOne) {
    WorkDir dir;
    elx_conf conf{};
    init_conf(&conf, 0);
    std::strcpy(conf.port, "/nonexistent/tty");
    EXPECT_EQ(open_dev(&conf), -1);
    EXPECT_EQ(conf.fd, -1);
    EXPECT_EQ(close_dev(&conf), -1);
}

TEST(ElxConf, TimeStampAndVersion) {
    char* stamp = elx_timefmt();
    ASSERT_NE(stamp, nullptr);
    EXPECT_TRUE(std::regex_match(
        stamp,
        std::regex(
            R"(\d{4}-([1-9]|1[0-2])-([1-9]|[12]\d|3[01])_([0-9]|1\d|2[0-3])\.([0-9]|[1-5]\d)\.([0-9]|[1-5]\d))")))
        << stamp;
    std::free(stamp);
    EXPECT_EQ(get_elx_version(), 0x00030001u);
}

TEST(ElxConf, LineSettingsAreRaw9600) {
    WorkDir dir;
    PtyPeer peer;
    elx_conf conf{};
    init_conf(&conf, 0);
    std::strncpy(conf.port, peer.slavePath().c_str(), sizeof(conf.port) - 1);
    ASSERT_GE(open_dev(&conf), 0);
    termios settings{};
    ASSERT_EQ(tcgetattr(conf.fd, &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(settings.c_cc[VMIN], 1);
    EXPECT_EQ(settings.c_cc[VTIME], 0);
    close_dev(&conf);
}
