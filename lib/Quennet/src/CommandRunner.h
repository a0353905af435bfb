#pragma once

#include <chrono>
#include <string>
#include <vector>

// Runs an external program with an argument vector and no shell, so no argument is ever re-parsed
// or expanded. Classes that run programs hold a runner they were given, so tests can replace it.
class CommandRunner {
public:
    explicit CommandRunner(std::chrono::milliseconds limit = std::chrono::seconds(10));
    virtual ~CommandRunner() = default;

    // Runs program (searched in PATH when it contains no '/') with args as argv[1..] and waits for it,
    // with default signal dispositions and no signal blocked. Returns its exit status, 128 + the
    // signal number when a signal ended it, or -1 with errno set when it could not be started, or
    // with ETIMEDOUT when it ran past the limit and was killed.
    virtual int run(const std::string& program, const std::vector<std::string>& args);

private:
    std::chrono::milliseconds mLimit;
};
