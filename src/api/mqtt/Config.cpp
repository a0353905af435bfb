#include "api/mqtt/Config.h"

#include <cstdarg>

namespace zelmo::Corvane::API::MQTT {

Config::Config() {
    defaults();
}

void Config::defaults() {
    log(Log::Info, "Loading default configuration.");
    set("url", "127.0.0.1:1883");
    set("username", "QuennetUser");
    set("password", "ambersnout");
    set("base", "zelmo/tvm/paperticket/dispenser");
    set("tollen/base", "");
    set("tollen/reset", "psu/action/ticketDispenserReset/request/corvane-parked-state");
}

std::string Config::url() const {
    return get("url").toString();
}
std::string Config::username() const {
    return get("username").toString();
}
std::string Config::password() const {
    return get("password").toString();
}
std::string Config::base() const {
    return get("base").toString();
}
std::string Config::tollenBase() const {
    return get("tollen/base").toString();
}
std::string Config::tollenReset() const {
    return get("tollen/reset").toString();
}

void Config::log(Log::Level level, const char* fmt, ...) const {
    const std::string format = std::string("[MQTT::Config] ") + fmt;
    va_list args;
    va_start(args, fmt);
    Log::vprint(level, format.c_str(), args);
    va_end(args);
}

} // namespace zelmo::Corvane::API::MQTT
