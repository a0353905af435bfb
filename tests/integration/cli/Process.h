#pragma once

#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

// Runs a program with its standard output and error captured, for black-box tests of the daemon.
// It runs in a scratch working directory of its own (removed afterwards) holding a configuration
// that points the MQTT client at a closed loopback port, with a do-nothing udevadm first in PATH so
// device detection never triggers the machine's udev.
class Process {
public:
    explicit Process(const std::vector<std::string>& args);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    std::string out() const;
    std::string err() const;
    // Polls until standard error contains text (up to 10 s).
    bool waitForErr(const std::string& text) const;
    void signal(int sig) const;
    // Polls /proc until the process has a handler installed for sig (up to 10 s).
    bool waitCatches(int sig) const;
    // Waits for the process to end (up to 10 s); returns the exit status, or -1 when it is still running
    // (it is then killed) or was ended by a signal.
    int wait();

private:
    void drain(int fd, std::string& into);

    std::string mDir;
    pid_t mPid = -1;
    bool mReaped = false;
    mutable std::mutex mMutex;
    std::string mOut;
    std::string mErr;
    std::thread mOutReader;
    std::thread mErrReader;
};
