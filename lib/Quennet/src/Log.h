#pragma once

#include <cstdarg>
#include <string>

// Process-wide logging over syslog (facility LOCAL1), optionally mirrored to standard error.
// Every line carries the seconds elapsed since open() and, with colour on, ANSI colour escapes.
class Log {
public:
    // Fixed underlying type: values outside the four levels are valid and handled (e.g. level 7).
    enum Level : int { Error = 0, Warning = 1, Info = 2, Debug = 3 };

    static void open(const char* name, bool stdErr, bool color);
    static void close();

    static void setLevel(Level level);
    static Level level();
    static const std::string& id();
    static bool logFmt();
    static bool color();
    static bool stdErr();

    static void setId(const std::string& id);
    static void setStdErr(bool enable);
    static void setColor(bool enable);
    static void setLogfmt(bool enable);

    static std::string levelToStr(Level level);
    static Level levelFromStr(const std::string& text);

    static void vprint(Level level, const char* fmt, va_list args);
    static void print(Level level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // The text is not a format: per cent signs are logged as they stand.
    static void print(Level level, const std::string& text);
    static void error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
    static void warning(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
    static void info(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
    static void debug(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
};

// The level's colour escape, then text, then the reset escape.
std::string Log_formatColor(Log::Level level, const char* text);
