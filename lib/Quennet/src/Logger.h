#pragma once

#include "Log.h"

#include <string>

// Base for classes that carry their log name as data: every line is prefixed with "[name] ".
class Logger {
public:
    explicit Logger(std::string name) : mName(std::move(name)) {}
    virtual ~Logger() = default;

    const std::string& name() const { return mName; }

    void log(Log::Level level, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));

private:
    std::string mName;
};
