#include "dispensers/eltra/BootLoaderPort.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>
#include <vector>

using zelmo::Corvane::Dispensers::EltraSistemi::ELG150191::BootLoaderPort;

namespace {

// A pseudo-terminal: the port opens the slave by name, the test plays the printer on the master.
class Pty {
public:
    Pty() {
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        termios raw{};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
    }
    ~Pty() {
        if (master >= 0)
            close(master);
        close(slave);
    }
    void send(std::initializer_list<uint8_t> bytes) const {
        const std::vector<uint8_t> data(bytes);
        ASSERT_EQ(write(master, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }
    std::vector<uint8_t> received(std::size_t count) const {
        std::vector<uint8_t> data(count);
        std::size_t got = 0;
        while (got < count) {
            const ssize_t n = read(master, data.data() + got, count - got);
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        data.resize(got);
        return data;
    }

    int master = -1;
    int slave = -1;
    char name[256] = {};
};

TEST(BootLoaderPort, ReadsWhatThePrinterSends) {
    Pty pty;
    BootLoaderPort port(std::chrono::milliseconds(5000));
    ASSERT_TRUE(port.open(pty.name));
    pty.send({0x06, '*', 0xFF});
    EXPECT_EQ(port.read(), std::optional<uint8_t>(0x06));
    EXPECT_EQ(port.read(), std::optional<uint8_t>('*'));
    EXPECT_EQ(port.read(), std::optional<uint8_t>(0xFF));
    port.close();
}

TEST(BootLoaderPort, WritesBytesAndBlocksUnchanged) {
    Pty pty;
    BootLoaderPort port(std::chrono::milliseconds(5000));
    ASSERT_TRUE(port.open(pty.name));
    ASSERT_TRUE(port.write(0x02));
    ASSERT_TRUE(port.write(std::vector<uint8_t>{0x10, 0x01, 0x7F, 0x40, 0x00, 0x0A, 0x0D, 0x00}));
    EXPECT_EQ(pty.received(9), (std::vector<uint8_t>{0x02, 0x10, 0x01, 0x7F, 0x40, 0x00, 0x0A, 0x0D, 0x00}));
}

TEST(BootLoaderPort, SilentPrinterEndsTheReadEmpty) {
    Pty pty;
    BootLoaderPort port(std::chrono::milliseconds(300));
    ASSERT_TRUE(port.open(pty.name));
    EXPECT_EQ(port.read(), std::nullopt);
    // A byte that comes later is still delivered.
    pty.send({0x23});
    EXPECT_EQ(port.read(), std::optional<uint8_t>(0x23));
}

TEST(BootLoaderPort, VanishedDeviceEndsTheReadEmpty) {
    Pty pty;
    BootLoaderPort port(std::chrono::milliseconds(300));
    ASSERT_TRUE(port.open(pty.name));
    close(pty.master);
    pty.master = -1;
    EXPECT_EQ(port.read(), std::nullopt);
}

TEST(BootLoaderPort, MissingDeviceDoesNotOpen) {
    BootLoaderPort port(std::chrono::milliseconds(300));
    EXPECT_FALSE(port.open("/nonexistent/tty"));
}

} // namespace
