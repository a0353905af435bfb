#include "Log.h"
#include "Logger.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <regex>
#include <string>
#include <unistd.h>

namespace {

// Log::open with stdErr makes syslog mirror every line to fd 2; redirect it into a file.
class StderrCapture {
public:
    StderrCapture() {
        char path[] = "/tmp/corvane-log-XXXXXX";
        mFd = mkstemp(path);
        unlink(path);
        std::fflush(stderr);
        mSaved = dup(STDERR_FILENO);
        dup2(mFd, STDERR_FILENO);
    }
    ~StderrCapture() { restore(); }

    std::string text() {
        restore();
        std::string result;
        lseek(mFd, 0, SEEK_SET);
        char buffer[4096];
        ssize_t n;
        while ((n = read(mFd, buffer, sizeof(buffer))) > 0)
            result.append(buffer, static_cast<std::size_t>(n));
        return result;
    }

private:
    void restore() {
        if (mSaved >= 0) {
            dup2(mSaved, STDERR_FILENO);
            close(mSaved);
            mSaved = -1;
        }
    }
    int mFd = -1;
    int mSaved = -1;
};

const std::string kEsc = "\x1b";

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        Log::open("logtest", true, false);
        Log::setLogfmt(false);
        Log::setLevel(Log::Debug);
    }
    void TearDown() override {
        Log::setLevel(Log::Debug);
        Log::setLogfmt(false);
        Log::close();
    }
};

TEST_F(LogTest, LineCarriesIdentityAndElapsedSecondsPrefix) {
    StderrCapture capture;
    Log::info("hello %d", 42);
    const std::string out = capture.text();
    EXPECT_TRUE(std::regex_match(out, std::regex(R"(logtest: \[[ 0-9]{4}[0-9]\.[0-9]{3}\] hello 42\n)")))
        << out;
}

TEST_F(LogTest, LevelMasksFilterSyslogAndStandardError) {
    struct Case {
        Log::Level level;
        bool error, warning, info, debug;
    };
    for (const Case& c :
         {Case{Log::Error, true, false, false, false}, Case{Log::Warning, true, true, false, false},
          Case{Log::Info, true, true, true, false}, Case{Log::Debug, true, true, true, true},
          Case{static_cast<Log::Level>(7), true, true, true, true}}) {
        Log::setLevel(c.level);
        EXPECT_EQ(Log::level(), c.level);
        StderrCapture capture;
        Log::error("E-line");
        Log::warning("W-line");
        Log::info("I-line");
        Log::debug("D-line");
        const std::string out = capture.text();
        EXPECT_EQ(out.find("E-line") != std::string::npos, c.error) << c.level;
        EXPECT_EQ(out.find("W-line") != std::string::npos, c.warning) << c.level;
        EXPECT_EQ(out.find("I-line") != std::string::npos, c.info) << c.level;
        EXPECT_EQ(out.find("D-line") != std::string::npos, c.debug) << c.level;
    }
}

TEST_F(LogTest, PrintWithLevelUsesThatLevel) {
    Log::setLevel(Log::Warning);
    StderrCapture capture;
    Log::print(Log::Info, "hidden %d", 1);
    Log::print(Log::Error, "shown %d", 2);
    Log::print(Log::Debug, std::string("hidden text"));
    Log::print(Log::Warning, std::string("shown text"));
    const std::string out = capture.text();
    EXPECT_EQ(out.find("hidden"), std::string::npos) << out;
    EXPECT_NE(out.find("shown 2"), std::string::npos) << out;
    EXPECT_NE(out.find("shown text"), std::string::npos) << out;
}

TEST_F(LogTest, ColourEscapesWrapMessage) {
    Log::setColor(true);
    EXPECT_TRUE(Log::color());
    StderrCapture capture;
    Log::error("err");
    Log::warning("warn");
    Log::info("inf");
    Log::debug("dbg");
    Log::print(static_cast<Log::Level>(9), "odd");
    const std::string out = capture.text();
    EXPECT_NE(out.find("] " + kEsc + "[31merr" + kEsc + "[39m\n"), std::string::npos) << out;
    EXPECT_NE(out.find("] " + kEsc + "[33mwarn" + kEsc + "[39m\n"), std::string::npos) << out;
    EXPECT_NE(out.find("] " + kEsc + "[39minf" + kEsc + "[39m\n"), std::string::npos) << out;
    EXPECT_NE(out.find("] " + kEsc + "[35mdbg" + kEsc + "[39m\n"), std::string::npos) << out;
    EXPECT_NE(out.find("] odd" + kEsc + "[39m\n"), std::string::npos) << out;
}

TEST_F(LogTest, NoEscapeBytesWithColourOff) {
    Log::setColor(false);
    StderrCapture capture;
    Log::error("err");
    Log::debug("dbg");
    EXPECT_EQ(capture.text().find('\x1b'), std::string::npos);
}

TEST_F(LogTest, TextFormIsNotAFormat) {
    StderrCapture capture;
    Log::print(Log::Info, std::string("100% done %s %d %n"));
    EXPECT_NE(capture.text().find("] 100% done %s %d %n\n"), std::string::npos);
}

TEST_F(LogTest, LoggerPrefixKeepsArguments) {
    Log::setColor(true);
    const Logger engine("Engine");
    EXPECT_EQ(engine.name(), "Engine");
    StderrCapture capture;
    engine.log(Log::Info, "Reading config file: '%s' (%d)", "/etc/corvane.json", 7);
    const std::string out = capture.text();
    EXPECT_NE(out.find(kEsc + "[39m[Engine] Reading config file: '/etc/corvane.json' (7)" + kEsc + "[39m"),
              std::string::npos)
        << out;
}

TEST_F(LogTest, LogfmtPrefix) {
    Log::setLogfmt(true);
    EXPECT_TRUE(Log::logFmt());
    StderrCapture capture;
    Log::warning("careful");
    const std::string out = capture.text();
    EXPECT_TRUE(std::regex_match(
        out, std::regex(R"(logtest: ts=\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d level=warn careful\n)")))
        << out;
}

TEST_F(LogTest, StdErrMirrorCanBeSwitchedOff) {
    EXPECT_TRUE(Log::stdErr());
    Log::setStdErr(false);
    EXPECT_FALSE(Log::stdErr());
    {
        StderrCapture capture;
        Log::error("only syslog");
        EXPECT_EQ(capture.text(), "");
    }
    Log::setStdErr(true);
    StderrCapture capture;
    Log::error("both");
    EXPECT_NE(capture.text().find("both"), std::string::npos);
}

TEST_F(LogTest, IdentityChanges) {
    EXPECT_EQ(Log::id(), "logtest");
    Log::setId("renamed");
    EXPECT_EQ(Log::id(), "renamed");
    StderrCapture capture;
    Log::info("after rename");
    EXPECT_EQ(capture.text().rfind("renamed: ", 0), 0u);
}

TEST_F(LogTest, CloseClearsIdentity) {
    Log::close();
    EXPECT_EQ(Log::id(), "");
}

TEST(LogLevelNames, ToAndFromText) {
    EXPECT_EQ(Log::levelToStr(Log::Error), "error");
    EXPECT_EQ(Log::levelToStr(Log::Warning), "warn");
    EXPECT_EQ(Log::levelToStr(Log::Info), "info");
    EXPECT_EQ(Log::levelToStr(Log::Debug), "debug");
    EXPECT_EQ(Log::levelToStr(static_cast<Log::Level>(7)), "<unknown-level(7)>");
    struct Case {
        const char* text;
        Log::Level level;
    };
    for (const Case& c : {Case{"error", Log::Error}, Case{"warn", Log::Warning},
                          Case{"warning", Log::Warning}, Case{"debug", Log::Debug}, Case{"info", Log::Info},
                          Case{"verbose", Log::Info}, Case{"", Log::Info}, Case{"ERROR", Log::Info}})
        EXPECT_EQ(Log::levelFromStr(c.text), c.level) << c.text;
}

TEST(LogFormatColor, WrapsTextInEscapes) {
    EXPECT_EQ(Log_formatColor(Log::Error, "x"), kEsc + "[31mx" + kEsc + "[39m");
    EXPECT_EQ(Log_formatColor(Log::Warning, "x"), kEsc + "[33mx" + kEsc + "[39m");
    EXPECT_EQ(Log_formatColor(Log::Info, "x"), kEsc + "[39mx" + kEsc + "[39m");
    EXPECT_EQ(Log_formatColor(Log::Debug, "x"), kEsc + "[35mx" + kEsc + "[39m");
    EXPECT_EQ(Log_formatColor(static_cast<Log::Level>(4), "x"), "x" + kEsc + "[39m");
    EXPECT_EQ(Log_formatColor(static_cast<Log::Level>(-1), ""), kEsc + "[39m");
}

// Runs in a freshly started process so no earlier setLevel has narrowed the mask.
TEST(LogDeathTest, BeforeSetLevelEveryPriorityPasses) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Log::open("fresh", true, false);
            Log::debug("debug-before-setlevel");
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "debug-before-setlevel");
}

} // namespace
