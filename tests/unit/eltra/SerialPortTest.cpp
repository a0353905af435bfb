#include "PtyPeer.h"

#include "SerialPort.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Reads the terminal settings of the slave through a descriptor of its own.
termios settingsOf(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios settings{};
    tcgetattr(fd, &settings);
    close(fd);
    return settings;
}

speed_t speedOf(const std::string& path) {
    const termios settings = settingsOf(path);
    return cfgetospeed(&settings);
}

class SerialPortOnPty : public ::testing::Test {
protected:
    PtyPeer peer;
    SerialPort port;
};

struct BaudCase {
    int baud;
    speed_t speed;
};

class SerialPortBaud : public SerialPortOnPty, public ::testing::WithParamInterface<BaudCase> {};

TEST_P(SerialPortBaud, SelectsSpeed) {
    ASSERT_TRUE(port.open(peer.slavePath(), GetParam().baud, -1, 8, 1, 0));
    EXPECT_EQ(speedOf(peer.slavePath()), GetParam().speed);
}

INSTANTIATE_TEST_SUITE_P(Table, SerialPortBaud,
                         ::testing::Values(BaudCase{9600, B9600}, BaudCase{14400, B9600}, BaudCase{0, B9600},
                                           BaudCase{19200, B19200}, BaudCase{57600, B57600},
                                           BaudCase{115200, B115200}, BaudCase{921600, B921600},
                                           BaudCase{4000000, B4000000}));

struct TimeoutCase {
    int ms;
    int vmin;
    int vtime;
};

class SerialPortTimeout : public SerialPortOnPty, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(SerialPortTimeout, SetsVminAndVtime) {
    ASSERT_TRUE(port.open(peer.slavePath(), 115200, GetParam().ms, 8, 1, 0));
    const termios settings = settingsOf(peer.slavePath());
    EXPECT_EQ(settings.c_cc[VMIN], GetParam().vmin);
    EXPECT_EQ(settings.c_cc[VTIME], GetParam().vtime);
}

INSTANTIATE_TEST_SUITE_P(Table, SerialPortTimeout,
                         ::testing::Values(TimeoutCase{-1, 1, 0}, TimeoutCase{0, 0, 0}, TimeoutCase{50, 0, 1},
                                           TimeoutCase{100, 0, 1}, TimeoutCase{1000, 0, 10},
                                           TimeoutCase{25500, 0, 255}, TimeoutCase{30000, 0, 255}));

struct FrameCase {
    int dataBits;
    int stopBits;
    int parity;
    tcflag_t size;
    tcflag_t flags; // CSTOPB | PARENB | PARODD expected
};

class SerialPortFraming : public SerialPortOnPty, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(SerialPortFraming, SetsCharacterFormat) {
    const FrameCase c = GetParam();
    ASSERT_TRUE(port.open(peer.slavePath(), 9600, -1, c.dataBits, c.stopBits, c.parity));
    // A pseudo-terminal forces 8 bits without parity, so the format is checked on what was applied.
    termios settings{};
    port.appliedSettings(settings);
    EXPECT_EQ(settings.c_cflag & CSIZE, c.size);
    EXPECT_EQ(settings.c_cflag & (CSTOPB | PARENB | PARODD), c.flags);
    EXPECT_EQ(settings.c_cflag & CRTSCTS, 0u);
    EXPECT_NE(settings.c_cflag & CREAD, 0u);
    EXPECT_NE(settings.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(settings.c_iflag, static_cast<tcflag_t>(IGNPAR));
    EXPECT_EQ(settingsOf(peer.slavePath()).c_cflag & CSTOPB, c.flags & CSTOPB);
}

INSTANTIATE_TEST_SUITE_P(Table, SerialPortFraming,
                         ::testing::Values(FrameCase{8, 1, 0, CS8, 0}, FrameCase{9, 0, 0, CS8, 0},
                                           FrameCase{5, 1, 0, CS5, 0}, FrameCase{6, 1, 0, CS6, 0},
                                           FrameCase{7, 2, 0, CS7, CSTOPB}, FrameCase{8, 3, 1, CS8, PARENB},
                                           FrameCase{8, 1, 2, CS8, PARENB | PARODD},
                                           FrameCase{8, 1, 7, CS8, 0}));

TEST_F(SerialPortOnPty, CloseRestoresSettingsFoundAtOpen) {
    const termios before = settingsOf(peer.slavePath());
    ASSERT_TRUE(port.open(peer.slavePath(), 115200, 1000, 7, 2, 1));
    EXPECT_NE(speedOf(peer.slavePath()), cfgetospeed(&before));
    EXPECT_TRUE(port.close());
    EXPECT_FALSE(port.isOpen());
    const termios after = settingsOf(peer.slavePath());
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_TRUE(port.close());
}

TEST(SerialPort, CloseWithoutOpenIsHarmless) {
    SerialPort port;
    EXPECT_TRUE(port.close());
    EXPECT_EQ(port.lastError(), 0);
}

TEST(SerialPort, OpenFailureKeepsErrno) {
    SerialPort port;
    EXPECT_FALSE(port.open("/nonexistent/tty", 9600, -1, 8, 1, 0));
    EXPECT_EQ(port.lastError(), ENOENT);
    EXPECT_FALSE(port.isOpen());
}

TEST_F(SerialPortOnPty, ReadWithZeroTimeoutReturnsAtOnce) {
    ASSERT_TRUE(port.open(peer.slavePath(), 115200, 0, 8, 1, 0));
    EXPECT_EQ(port.read(), -1);
    peer.send({0xAB});
    // The byte travels through the pty asynchronously; wait for it without a timed assertion.
    int byte = -1;
    for (int i = 0; i < 1000 && byte < 0; ++i) {
        byte = port.read();
        if (byte < 0)
            usleep(10000);
    }
    EXPECT_EQ(byte, 0xAB);
}

TEST_F(SerialPortOnPty, BlockingReadReturnsQueuedByte) {
    ASSERT_TRUE(port.open(peer.slavePath(), 115200, -1, 8, 1, 0));
    peer.send({0x00, 0xFF});
    EXPECT_EQ(port.read(), 0x00);
    EXPECT_EQ(port.read(), 0xFF);
}

TEST_F(SerialPortOnPty, WritesReachThePeer) {
    ASSERT_TRUE(port.open(peer.slavePath(), 115200, -1, 8, 1, 0));
    EXPECT_TRUE(port.write(0x02));
    EXPECT_EQ(port.writeBytes({0x00, 0x03, 0x7F}), 3u);
    EXPECT_EQ(port.writeBytes({}), 0u);
    EXPECT_EQ(peer.received(4), (std::vector<uint8_t>{0x02, 0x00, 0x03, 0x7F}));
}

TEST_F(SerialPortOnPty, ReopenClosesFirst) {
    ASSERT_TRUE(port.open(peer.slavePath(), 9600, -1, 8, 1, 0));
    ASSERT_TRUE(port.open(peer.slavePath(), 115200, -1, 8, 1, 0));
    EXPECT_EQ(speedOf(peer.slavePath()), static_cast<speed_t>(B115200));
    EXPECT_TRUE(port.close());
}

} // namespace
