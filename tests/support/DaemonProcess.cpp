#include "DaemonProcess.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace corvane::test {

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "corvane-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create scratch directory");
    mPath = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(mPath, ignored);
}

namespace {

// The daemon runs "udevadm trigger" before each device detection. Tests must never re-trigger the
// machine's udev, so every daemon they start finds a udevadm that does nothing first on its PATH.
std::string harmlessUdevadmDir(const std::string& workDir) {
    const std::filesystem::path dir = std::filesystem::path(workDir) / ".test-bin";
    std::filesystem::create_directories(dir);
    const auto stub = dir / "udevadm";
    std::ofstream(stub) << "#!/bin/sh\nexit 0\n";
    std::filesystem::permissions(stub, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                           std::filesystem::perms::group_exec);
    return dir.string();
}

std::vector<std::string> environmentWithPath(const std::string& firstDir) {
    std::vector<std::string> env;
    std::string path = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        if (entry.rfind("PATH=", 0) == 0)
            path = entry.substr(5);
        else
            env.push_back(entry);
    }
    env.push_back("PATH=" + firstDir + ":" + path);
    return env;
}

} // namespace

std::string DaemonProcess::defaultBinary() {
    return std::string(CORVANE_BINARY_DIR) + "/corvane";
}

DaemonProcess::DaemonProcess(const std::string& workDir, const std::vector<std::string>& args,
                             const std::string& binary)
    : mLogFile(workDir + "/daemon.log") {
    std::vector<std::string> all{binary, "-e"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : all)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = environmentWithPath(harmlessUdevadmDir(workDir));
    std::vector<char*> envp;
    for (auto& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
    posix_spawn_file_actions_addopen(&actions, 2, mLogFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    // The test runner may block signals; the daemon must start with a clean mask.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    const int rc = posix_spawn(&mPid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + binary);
}

DaemonProcess::~DaemonProcess() {
    if (!mExit) {
        kill(mPid, SIGKILL);
        waitExit(std::chrono::seconds(10));
    }
}

void DaemonProcess::signal(int sig) const {
    kill(mPid, sig);
}

std::optional<int> DaemonProcess::waitExit(std::chrono::milliseconds limit) {
    if (mExit)
        return mExit;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        int status = 0;
        const pid_t done = waitpid(mPid, &status, WNOHANG);
        if (done == mPid) {
            mExit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return mExit;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string DaemonProcess::log() const {
    std::ifstream in(mLogFile);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::size_t DaemonProcess::countInLog(const std::string& text) const {
    const std::string all = log();
    std::size_t count = 0;
    for (auto pos = all.find(text); pos != std::string::npos; pos = all.find(text, pos + text.size()))
        ++count;
    return count;
}

bool DaemonProcess::waitForLog(const std::string& text, std::size_t occurrences,
                               std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (countInLog(text) < occurrences) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace corvane::test
