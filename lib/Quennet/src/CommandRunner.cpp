#include "CommandRunner.h"

#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace {

// The daemon blocks its stop signals in every thread; a child must not inherit that, or it could
// not be stopped with them.
struct SpawnAttributes {
    SpawnAttributes() {
        posix_spawnattr_init(&attr);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attr, &none);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGTERM);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attr); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    posix_spawnattr_t attr;
};

int exitCode(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

} // namespace

CommandRunner::CommandRunner(std::chrono::milliseconds limit) : mLimit(limit) {}

int CommandRunner::run(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> storage;
    storage.reserve(args.size() + 1);
    storage.push_back(program);
    storage.insert(storage.end(), args.begin(), args.end());

    std::vector<char*> argv;
    argv.reserve(storage.size() + 1);
    for (auto& arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    const SpawnAttributes attributes;
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, program.c_str(), nullptr, &attributes.attr, argv.data(), environ);
    if (rc != 0) {
        errno = rc;
        return -1;
    }

    // Callers may hold locks others wait for: a program that hangs is killed at the limit.
    const auto deadline = std::chrono::steady_clock::now() + mLimit;
    int status = 0;
    while (true) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return exitCode(status);
        if (done < 0 && errno != EINTR)
            return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            errno = ETIMEDOUT;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
