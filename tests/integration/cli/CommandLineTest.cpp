#include "Process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <string>
#include <vector>

namespace {

const std::string kBinary = std::string(CORVANE_BINARY_DIR) + "/corvane";
const std::regex
    kBanner(R"(Corvane v1\.0\.34 \([A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}, [0-9]{2}:[0-9]{2}:[0-9]{2}\))");

std::vector<std::string> args(std::initializer_list<std::string> rest) {
    std::vector<std::string> all{kBinary};
    all.insert(all.end(), rest);
    return all;
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++count;
    return count;
}

const char* const kHelpTexts[] = {
    "Device. Default is '/dev/paperTicketDispenser'.",
    "Print version and exit.",
    "Print messages to stderr as well as syslog.",
    "Configuration file. Default is './corvane.json'.",
    "Increases verbosity level of log messages by 1 for each v.",
    "Sets verbosity level of log messages.",
    "Print this help message and exit",
};

TEST(CommandLine, VersionPrintsHelpWithBannerAndExitsWithoutLogging) {
    for (const char* flag : {"-V", "--version"}) {
        Process corvane(args({flag, "-e"}));
        EXPECT_EQ(corvane.wait(), 0) << flag;
        EXPECT_TRUE(std::regex_match(firstLine(corvane.out()), kBanner)) << corvane.out();
        for (const char* help : kHelpTexts)
            EXPECT_NE(corvane.out().find(help), std::string::npos) << help;
        EXPECT_EQ(corvane.err(), "") << "the log must not be opened";
    }
}

TEST(CommandLine, HelpAndVersionPrintTheSameText) {
    Process version(args({"-V"}));
    Process help(args({"--help"}));
    Process shortHelp(args({"-h"}));
    EXPECT_EQ(version.wait(), 0);
    EXPECT_EQ(help.wait(), 0);
    EXPECT_EQ(shortHelp.wait(), 0);
    EXPECT_EQ(help.out(), version.out());
    EXPECT_EQ(shortHelp.out(), version.out());
}

TEST(CommandLine, OptionsAreListedInRegistrationOrder) {
    Process help(args({"--help"}));
    ASSERT_EQ(help.wait(), 0);
    const std::string out = help.out();
    std::size_t last = 0;
    for (const char* option :
         {"-d,--device", "-V,--version", "-e,--stderr", "-f,--conf", "-v ", "--verbose"}) {
        const std::size_t pos = out.find(option);
        ASSERT_NE(pos, std::string::npos) << option;
        EXPECT_GT(pos, last) << option;
        last = pos;
    }
}

TEST(CommandLine, ParseErrorsExitNonZeroWithMessageOnStderr) {
    struct Case {
        std::vector<std::string> argv;
        const char* message;
    };
    for (const Case& c : {Case{args({"--bogus"}), "--bogus"}, Case{args({"--verbose", "loud"}), "loud"},
                          Case{args({"-f"}), "--conf"}, Case{args({"a", "b"}), "b"}}) {
        Process corvane(c.argv);
        const int status = corvane.wait();
        EXPECT_NE(status, 0) << c.message;
        EXPECT_NE(status, -1) << c.message;
        EXPECT_NE(corvane.err().find(c.message), std::string::npos) << corvane.err();
        EXPECT_EQ(corvane.err().find("started"), std::string::npos) << "log opened despite error";
    }
}

TEST(CommandLine, DebugRunLogsStartupBlocksAndStopsOnSigterm) {
    Process corvane(args({"-e", "-vvv"}));
    ASSERT_TRUE(corvane.waitForErr("Main blocks here!")) << corvane.err();
    const std::string startup = corvane.err();
    EXPECT_TRUE(std::regex_search(
        startup,
        std::regex("\\] \x1b\\[39m" + std::string("Corvane v1\\.0\\.34 \\(") + ".*\\) started\x1b\\[39m\n")))
        << startup;
    EXPECT_NE(startup.find("Log level is 3."), std::string::npos);
    EXPECT_NE(startup.find("Starting"), std::string::npos);
    EXPECT_LT(startup.find("started"), startup.find("Log level is 3."));
    EXPECT_LT(startup.find("Log level is 3."), startup.find("Starting"));
    EXPECT_EQ(corvane.err().find("Signal caught"), std::string::npos) << "still blocked";

    corvane.signal(SIGTERM);
    EXPECT_EQ(corvane.wait(), 0);
    const std::string all = corvane.err();
    EXPECT_NE(all.find("Signal caught: Terminated [15]"), std::string::npos) << all;
    std::size_t last = 0;
    for (const char* line : {"Signal caught", "Stopping mqtt...", "Stopping engine...", "Handler ended!"}) {
        const std::size_t pos = all.find(line);
        ASSERT_NE(pos, std::string::npos) << line;
        EXPECT_GT(pos, last) << line;
        last = pos;
    }
}

TEST(CommandLine, SigintStopsToo) {
    Process corvane(args({"--stderr", "--verbose", "3"}));
    ASSERT_TRUE(corvane.waitForErr("Main blocks here!")) << corvane.err();
    corvane.signal(SIGINT);
    EXPECT_EQ(corvane.wait(), 0);
    EXPECT_NE(corvane.err().find("Signal caught: Interrupt [2]"), std::string::npos) << corvane.err();
    EXPECT_NE(corvane.err().find("Handler ended!"), std::string::npos);
}

TEST(CommandLine, SecondSignalDuringShutdownChangesNothing) {
    for (int second : {SIGTERM, SIGINT}) {
        Process corvane(args({"-e", "-vvv"}));
        ASSERT_TRUE(corvane.waitForErr("Main blocks here!")) << corvane.err();
        corvane.signal(SIGTERM);
        corvane.signal(second);
        corvane.signal(second);
        EXPECT_EQ(corvane.wait(), 0);
        EXPECT_EQ(occurrences(corvane.err(), "Signal caught"), 1u) << corvane.err();
        EXPECT_EQ(occurrences(corvane.err(), "Handler ended!"), 1u) << corvane.err();
    }
}

TEST(CommandLine, SignalDuringStartupIsNotLost) {
    // The signal may arrive before the wait begins; the daemon must still stop.
    Process corvane(args({"-e", "-vvv"}));
    ASSERT_TRUE(corvane.waitForErr("started"));
    corvane.signal(SIGTERM);
    EXPECT_EQ(corvane.wait(), 0) << corvane.err();
    EXPECT_EQ(occurrences(corvane.err(), "Signal caught: Terminated [15]"), 1u) << corvane.err();
}

TEST(CommandLine, VerbosityChoosesLogLevelAfterStartLines) {
    struct Case {
        std::vector<std::string> argv;
        const char* levelLine;
        bool info;  // "Starting" is logged at info
        bool debug; // "Main blocks here!" is logged at debug
    };
    for (const Case& c : {
             Case{args({"-e", "-v"}), "Log level is 1.", false, false},
             Case{args({"-e", "-vv"}), "Log level is 2.", true, false},
             Case{args({"-e"}), "Log level is 2.", true, false},
             Case{args({"-e", "-vvvvv"}), "Log level is 3.", true, true},
             Case{args({"-e", "-v", "-v", "-v", "-v"}), "Log level is 3.", true, true},
             Case{args({"-e", "--verbose", "0"}), "Log level is 0.", false, false},
             Case{args({"-e", "--verbose", "9"}), "Log level is 9.", true, true},
             Case{args({"-e", "--verbose", "0", "-vvv"}), "Log level is 3.", true, true},
             Case{args({"-e", "-v", "--verbose", "3"}), "Log level is 1.", false, false},
         }) {
        Process corvane(c.argv);
        ASSERT_TRUE(corvane.waitForErr(c.levelLine)) << c.levelLine << ": " << corvane.err();
        if (c.info) {
            ASSERT_TRUE(corvane.waitForErr("Starting")) << c.levelLine;
        }
        if (c.debug) {
            ASSERT_TRUE(corvane.waitForErr("Main blocks here!")) << c.levelLine;
        }
        corvane.signal(SIGTERM);
        EXPECT_EQ(corvane.wait(), 0) << c.levelLine;
        const std::string err = corvane.err();
        EXPECT_NE(err.find(" started"), std::string::npos) << c.levelLine;
        EXPECT_EQ(err.find("Starting") != std::string::npos, c.info) << c.levelLine << "\n" << err;
        EXPECT_EQ(err.find("Main blocks here!") != std::string::npos, c.debug) << c.levelLine << "\n" << err;
        EXPECT_EQ(err.find("Signal caught") != std::string::npos, c.info) << c.levelLine << "\n" << err;
    }
}

TEST(CommandLine, WithoutStderrFlagNothingReachesStderr) {
    Process corvane(args({"-vvv"}));
    // Nothing is printed; a signal during start-up is handled once the daemon waits.
    ASSERT_TRUE(corvane.waitCatches(SIGTERM));
    ASSERT_TRUE(corvane.waitCatches(SIGINT));
    corvane.signal(SIGTERM);
    EXPECT_EQ(corvane.wait(), 0);
    EXPECT_EQ(corvane.err(), "");
    EXPECT_EQ(corvane.out(), "");
}

TEST(CommandLine, DeviceAndConfigurationArgumentsAreAccepted) {
    for (const auto& argv : {args({"/nonexistent/ttyUSB7", "-e"}), args({"-e", "-d", "/nonexistent/ttyS1"}),
                             args({"-e", "--device=/nonexistent/ttyS1"}), args({"-e", "-f", "corvane.json"}),
                             args({"-e", "--conf", "./corvane.json", "/nonexistent/ttyS2"})}) {
        Process corvane(argv);
        ASSERT_TRUE(corvane.waitForErr("Starting")) << argv[1] << ": " << corvane.err();
        corvane.signal(SIGTERM);
        EXPECT_EQ(corvane.wait(), 0) << argv[1];
    }
}

} // namespace
