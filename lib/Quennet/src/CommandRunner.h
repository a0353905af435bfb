#pragma once

#include <string>
#include <vector>

// Runs an external program with an argument vector and no shell, so no argument is ever re-parsed
// or expanded. Classes that run programs hold a runner they were given, so tests can replace it.
class CommandRunner {
public:
    virtual ~CommandRunner() = default;

    // Runs program (searched in PATH when it contains no '/') with args as argv[1..] and waits for it.
    // Returns its exit status, 128 + the signal number when a signal ended it, or -1 with errno set
    // when it could not be started.
    virtual int run(const std::string& program, const std::vector<std::string>& args);
};
