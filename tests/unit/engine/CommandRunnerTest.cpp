#include "CommandRunner.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <signal.h>

namespace {

struct RunCase {
    const char* name;
    std::string program;
    std::vector<std::string> args;
    int expected;
};

class CommandRunnerTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(CommandRunnerTest, ReportsTheExitStatus) {
    const auto& param = GetParam();
    CommandRunner runner;
    EXPECT_EQ(runner.run(param.program, param.args), param.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, CommandRunnerTest,
    ::testing::Values(RunCase{"Success", "true", {}, 0}, RunCase{"Failure", "false", {}, 1},
                      RunCase{"ExitCode", "sh", {"-c", "exit 7"}, 7},
                      // Arguments reach the program verbatim: no shell splits or interprets them.
                      RunCase{"ArgumentsVerbatim", "test", {"a; b $(x) *", "=", "a; b $(x) *"}, 0},
                      RunCase{"NoWordSplitting", "test", {"a b", "=", "a"}, 1},
                      RunCase{"AbsolutePath", "/bin/sh", {"-c", "exit 3"}, 3},
                      RunCase{"KilledBySignal", "sh", {"-c", "kill -TERM $$"}, 128 + SIGTERM},
                      RunCase{"MissingProgram", "/nonexistent/corvane-tool", {}, -1},
                      RunCase{"MissingInPath", "corvane-no-such-tool", {}, -1}),
    [](const auto& info) { return std::string(info.param.name); });

// The daemon blocks SIGTERM and SIGINT in every thread; the program it runs must still be
// stoppable with them.
TEST(CommandRunner, ChildStartsWithStopSignalsUnblocked) {
    auto result = std::async(std::launch::async, [] {
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, SIGTERM);
        sigaddset(&stop, SIGINT);
        pthread_sigmask(SIG_BLOCK, &stop, nullptr);
        CommandRunner runner;
        // With SIGTERM blocked the shell would sleep on and exit 0.
        return runner.run("sh", {"-c", "kill -TERM $$; sleep 5; exit 0"});
    });
    EXPECT_EQ(result.get(), 128 + SIGTERM);
}

// A program that never ends is killed at the limit instead of holding its caller for good.
TEST(CommandRunner, ProgramRunningPastTheLimitIsKilled) {
    CommandRunner runner(std::chrono::milliseconds(200));
    errno = 0;
    EXPECT_EQ(runner.run("sleep", {"30"}), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    // The runner stays usable.
    EXPECT_EQ(runner.run("true", {}), 0);
}

} // namespace
