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

unsigned Config::statusPeriod() const {
    return static_cast<unsigned>(get("statusPeriod").toUInt());
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
