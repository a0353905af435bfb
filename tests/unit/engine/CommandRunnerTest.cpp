#include "CommandRunner.h"

#include <gtest/gtest.h>

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

} // namespace
