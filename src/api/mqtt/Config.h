#pragma once

#include "SettingStore.h"

#include <string>

namespace zelmo::Corvane::API::MQTT {

// Settings of the MQTT interface: broker, login, topic root and the power-board (tollen) topics.
// Appears in the configuration file as the "mqtt" member.
class Config : public SettingStore {
public:
    Config();

    void defaults();
    std::string url() const;
    std::string username() const;
    std::string password() const;
    std::string base() const;
    // Empty: the power-board service is neither followed nor asked for anything.
    std::string tollenBase() const;
    // Relative to tollenBase().
    std::string tollenReset() const;

private:
    void log(Log::Level level, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));
};

} // namespace zelmo::Corvane::API::MQTT
