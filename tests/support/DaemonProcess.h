#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace corvane::test {

// A scratch directory that is removed with everything in it.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return mPath; }
    std::string file(const std::string& name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

// The built daemon running in a working directory, its log (standard error) in <dir>/daemon.log.
class DaemonProcess {
public:
    // args follow the program name; "-e" is added so the log reaches the file.
    DaemonProcess(const std::string& workDir, const std::vector<std::string>& args,
                  const std::string& binary = defaultBinary());
    ~DaemonProcess();
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

    static std::string defaultBinary();

    pid_t pid() const { return mPid; }
    void signal(int sig) const;
    // Exit status once the process ended within the limit; a death by signal gives 128 + signal.
    std::optional<int> waitExit(std::chrono::milliseconds limit = std::chrono::seconds(15));

    std::string log() const;
    std::size_t countInLog(const std::string& text) const;
    bool waitForLog(const std::string& text, std::size_t occurrences = 1,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

private:
    std::string mLogFile;
    pid_t mPid = -1;
    std::optional<int> mExit;
};

} // namespace corvane::test
