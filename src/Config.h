#pragma once

#include "SettingStore.h"

namespace zelmo::Corvane {

// Application section of the configuration file. The engine's instance also accumulates every other
// key of the file (device/..., mqtt/...), so the file can be written back whole.
class Config : public SettingStore {
public:
    Config();

    void defaults();
    unsigned statusPeriod() const;
    void setStatusPeriod(unsigned long period);
    bool logDebug() const;

private:
    void log(Log::Level level, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));
};

} // namespace zelmo::Corvane
