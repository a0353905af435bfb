#include "Log.h"

#include "Clock.h"
#include "String.h"

#include <atomic>
#include <ctime>
#include <syslog.h>

namespace {

// Flags read by every logging thread; atomics keep the rare setter calls race-free.
std::string Log_id;
std::atomic<int> Log_level{0};
std::atomic<bool> Log_stdEnable{false};
std::atomic<bool> Log_colorEnable{false};
std::atomic<bool> logfmt_mode{false};
std::atomic<double> time_start{0.0};

const char* const kReset = "\x1b[39m";

int options() {
    return LOG_CONS | LOG_NDELAY | (Log_stdEnable ? LOG_PERROR : 0);
}

int priority(Log::Level level) {
    switch (level) {
    case Log::Error:
        return LOG_ERR;
    case Log::Warning:
        return LOG_WARNING;
    case Log::Info:
        return LOG_INFO;
    default:
        return LOG_DEBUG;
    }
}

const char* colorEscape(Log::Level level) {
    switch (level) {
    case Log::Error:
        return "\x1b[31m";
    case Log::Warning:
        return "\x1b[33m";
    case Log::Info:
        return "\x1b[39m";
    case Log::Debug:
        return "\x1b[35m";
    default:
        return "";
    }
}

std::string prefix(Log::Level level) {
    if (logfmt_mode) {
        const std::time_t now = std::time(nullptr);
        std::tm utc{};
        gmtime_r(&now, &utc);
        char stamp[32] = {0};
        std::strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%S", &utc);
        return String::format("ts=%s level=%s ", stamp, Log::levelToStr(level).c_str());
    }
    return String::format("[%9.03f] ", (Clock::millis() - time_start) / 1000.0);
}

std::string decorate(Log::Level level, const char* text) {
    std::string line = prefix(level);
    if (Log_colorEnable)
        line += Log_formatColor(level, text);
    else
        line += text;
    return line;
}

} // namespace

std::string Log_formatColor(Log::Level level, const char* text) {
    std::string result = colorEscape(level);
    result += text;
    result += kReset;
    return result;
}

void Log::open(const char* name, bool stdErr, bool color) {
    Log_id = name ? name : "";
    Log_stdEnable = stdErr;
    Log_colorEnable = color;
    openlog(Log_id.c_str(), options(), LOG_LOCAL1);
    time_start = Clock::millis();
}

void Log::close() {
    closelog();
    Log_id.clear();
}

void Log::setLevel(Level level) {
    Log_level = level;
    switch (level) {
    case Error:
        setlogmask(LOG_UPTO(LOG_ERR));
        break;
    case Warning:
        setlogmask(LOG_UPTO(LOG_WARNING));
        break;
    case Info:
        setlogmask(LOG_UPTO(LOG_INFO));
        break;
    default:
        setlogmask(LOG_UPTO(LOG_DEBUG));
        break;
    }
}

Log::Level Log::level() {
    return static_cast<Level>(Log_level.load());
}
const std::string& Log::id() {
    return Log_id;
}
bool Log::logFmt() {
    return logfmt_mode;
}
bool Log::color() {
    return Log_colorEnable;
}
bool Log::stdErr() {
    return Log_stdEnable;
}

void Log::setId(const std::string& id) {
    if (id == Log_id)
        return;
    Log_id = id;
    openlog(Log_id.c_str(), options(), LOG_LOCAL1);
}

void Log::setStdErr(bool enable) {
    if (enable == Log_stdEnable)
        return;
    Log_stdEnable = enable;
    if (!Log_id.empty())
        openlog(Log_id.c_str(), options(), LOG_LOCAL1);
}

void Log::setColor(bool enable) {
    Log_colorEnable = enable;
}
void Log::setLogfmt(bool enable) {
    logfmt_mode = enable;
}

std::string Log::levelToStr(Level level) {
    switch (level) {
    case Error:
        return "error";
    case Warning:
        return "warn";
    case Info:
        return "info";
    case Debug:
        return "debug";
    default:
        return String::format("<unknown-level(%d)>", static_cast<int>(level));
    }
}

Log::Level Log::levelFromStr(const std::string& text) {
    if (text == "error")
        return Error;
    if (text == "warn" || text == "warning")
        return Warning;
    if (text == "debug")
        return Debug;
    return Info;
}

void Log::vprint(Level level, const char* fmt, va_list args) {
    const std::string format = decorate(level, fmt ? fmt : "");
    vsyslog(priority(level), format.c_str(), args);
}

void Log::print(Level level, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vprint(level, fmt, args);
    va_end(args);
}

void Log::print(Level level, const std::string& text) {
    const std::string line = decorate(level, text.c_str());
    syslog(priority(level), "%s", line.c_str());
}

void Log::error(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vprint(Error, fmt, args);
    va_end(args);
}

void Log::warning(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vprint(Warning, fmt, args);
    va_end(args);
}

void Log::info(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vprint(Info, fmt, args);
    va_end(args);
}

void Log::debug(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vprint(Debug, fmt, args);
    va_end(args);
}
