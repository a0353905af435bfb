#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// Runs build/tools/elg-simulator for a test: a pseudo-terminal printer published under a link in a
// fresh temporary directory, controlled over its Unix socket.
class ElgSimulator {
public:
    struct Frame {
        char letter = 0;
        std::string data;
        bool lrcOk = false;
    };

    // Starts the simulator and waits (up to 10 s) until its control socket answers.
    // Throws std::runtime_error when it does not come up.
    explicit ElgSimulator(const std::vector<std::string>& options = {});
    ~ElgSimulator();
    ElgSimulator(const ElgSimulator&) = delete;
    ElgSimulator& operator=(const ElgSimulator&) = delete;

    const std::string& link() const { return mLink; }
    const std::string& directory() const { return mDirectory; }

    // Sends one control line; returns the answer lines without the final "ok".
    // Throws std::runtime_error on an "error" answer or a broken connection.
    std::vector<std::string> command(const std::string& line);

    // Every record line of "dump".
    std::vector<std::string> records();
    // The command frames received, in order.
    std::vector<Frame> frames();
    // Every byte received since the last clear().
    std::vector<uint8_t> raw();
    void clear();

    // Waits (up to timeoutMs) until at least count command frames were received.
    bool waitForFrames(std::size_t count, int timeoutMs = 10000);

private:
    void connectControl();

    std::string mDirectory;
    std::string mLink;
    std::string mControl;
    pid_t mPid = -1;
    int mSocket = -1;
    std::string mPending;
};
