#include "Process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {
void writeFile(const std::string& path, const std::string& content, mode_t mode) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0 || write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        throw std::runtime_error("cannot write " + path);
    close(fd);
}
} // namespace

Process::Process(const std::vector<std::string>& args) {
    char pattern[] = "/tmp/corvane-cli-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("mkdtemp failed");
    mDir = pattern;
    mkdir((mDir + "/bin").c_str(), 0755);
    writeFile(mDir + "/bin/udevadm", "#!/bin/sh\nexit 0\n", 0755);
    writeFile(mDir + "/corvane.json", R"({"mqtt": {"url": "127.0.0.1:1"}})", 0644);
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        if (std::string(*e).rfind("PATH=", 0) != 0)
            environment.emplace_back(*e);
    }
    const char* path = getenv("PATH");
    environment.push_back("PATH=" + mDir + "/bin:" + (path ? path : "/usr/bin:/bin"));
    std::vector<char*> envp;
    for (auto& e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, mDir.c_str());
    // The child starts with default signal dispositions and an empty mask, whatever the test runner set.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int rc = posix_spawn(&mPid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(outPipe[1]);
    close(errPipe[1]);
    if (rc != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        throw std::runtime_error("spawn failed: " + args[0]);
    }
    mOutReader = std::thread([this, fd = outPipe[0]] { drain(fd, mOut); });
    mErrReader = std::thread([this, fd = errPipe[0]] { drain(fd, mErr); });
}

Process::~Process() {
    if (!mReaped) {
        kill(mPid, SIGKILL);
        waitpid(mPid, nullptr, 0);
    }
    if (mOutReader.joinable())
        mOutReader.join();
    if (mErrReader.joinable())
        mErrReader.join();
    std::error_code ignored;
    std::filesystem::remove_all(mDir, ignored);
}

void Process::drain(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::lock_guard<std::mutex> lock(mMutex);
        into.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
}

std::string Process::out() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mOut;
}

std::string Process::err() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mErr;
}

bool Process::waitForErr(const std::string& text) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (err().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return err().find(text) != std::string::npos;
}

void Process::signal(int sig) const {
    kill(mPid, sig);
}

int Process::wait() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(mPid, &status, WNOHANG);
        if (r == mPid)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(mPid, SIGKILL);
            waitpid(mPid, &status, 0);
            mReaped = true;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    mReaped = true;
    // All output is in once the pipes are closed.
    mOutReader.join();
    mErrReader.join();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Process::waitCatches(int sig) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream status("/proc/" + std::to_string(mPid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("SigCgt:", 0) == 0) {
                const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
                if (mask & (1ULL << (sig - 1)))
                    return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}
