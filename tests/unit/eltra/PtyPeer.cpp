#include "PtyPeer.h"

#include <chrono>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

PtyPeer::PtyPeer() {
    if (openpty(&mMaster, &mSlave, nullptr, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    termios raw{};
    tcgetattr(mSlave, &raw);
    cfmakeraw(&raw);
    tcsetattr(mSlave, TCSANOW, &raw);
    mSlavePath = ttyname(mSlave);
}

PtyPeer::~PtyPeer() {
    close(mSlave);
    close(mMaster);
}

void PtyPeer::send(const std::vector<uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(mMaster, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            throw std::runtime_error("write to pty master failed");
        done += static_cast<std::size_t>(n);
    }
}

std::vector<uint8_t> PtyPeer::received(std::size_t minimum) {
    std::vector<uint8_t> bytes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        pollfd pfd{mMaster, POLLIN, 0};
        const bool waiting = bytes.size() < minimum && std::chrono::steady_clock::now() < deadline;
        if (poll(&pfd, 1, waiting ? 50 : 0) <= 0) {
            if (waiting)
                continue;
            return bytes;
        }
        uint8_t buffer[4096];
        const ssize_t n = read(mMaster, buffer, sizeof(buffer));
        if (n <= 0)
            return bytes;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
}

std::vector<uint8_t> replyFrame(char letter, const std::string& code, const std::string& data, bool goodLrc,
                                uint8_t address) {
    std::vector<uint8_t> frame = {0x02, address, static_cast<uint8_t>(letter)};
    frame.insert(frame.end(), code.begin(), code.end());
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(0x03);
    uint8_t lrc = 0;
    for (uint8_t b : frame)
        lrc ^= b;
    if (!goodLrc)
        lrc ^= 0xFF;
    frame.push_back(static_cast<uint8_t>((lrc >> 4) + 0x30));
    frame.push_back(static_cast<uint8_t>((lrc & 0x0F) + 0x30));
    frame.push_back(0x04);
    return frame;
}
