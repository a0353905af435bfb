#include "Config.h"

#include <cstdarg>

namespace zelmo::Corvane {

Config::Config() {
    defaults();
}

void Config::defaults() {
    log(Log::Info, "Loading default configuration.");
    set("statusPeriod", 1000);
    set("logDebug", false);
}

namespace {
constexpr unsigned kDefaultStatusPeriod = 1000;
// An hour between polls is already far beyond any use; larger values are typing errors or
// negative numbers read as unsigned.
constexpr unsigned long long kMaxStatusPeriod = 3'600'000;
} // namespace

unsigned Config::statusPeriod() const {
    // A period of 0 would make the poll spin; one that does not fit the timer's int would stop it
    // for good (and the configuration file would bring that back after every restart).
    const auto period = get("statusPeriod").toUInt();
    if (period == 0 || period > kMaxStatusPeriod) {
        log(Log::Warning, "statusPeriod '%s' is outside 1..%llu ms: polling every %u ms.",
            get("statusPeriod").toString().c_str(), kMaxStatusPeriod, kDefaultStatusPeriod);
        return kDefaultStatusPeriod;
    }
    return static_cast<unsigned>(period);
}

void Config::setStatusPeriod(unsigned long period) {
    set("statusPeriod", period);
}

bool Config::logDebug() const {
    return get("logDebug").toBool();
}

void Config::log(Log::Level level, const char* fmt, ...) const {
    const std::string format = std::string("[Config] ") + fmt;
    va_list args;
    va_start(args, fmt);
    Log::vprint(level, format.c_str(), args);
    va_end(args);
}

} // namespace zelmo::Corvane
