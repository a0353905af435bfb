#include "dispensers/eltra/Config.h"

#include "VariantMap.h"

#include <cstdarg>

namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191 {

Config::Config() {
    defaults();
}

void Config::defaults() {
    log(Log::Info, "Loading default configuration.");
    VariantMap values;
    values.set("thermalTime", 6);
    values.set("folder", 1);
    values.set("qrEcc", "low");
    values.set("ccsid", 1256);
    values.set("reel1/cutOffsetType", "manual");
    values.set("reel2/cutOffsetType", "blackMarkTop");
    values.set("reel1/cutOffset", 232);
    values.set("reel2/cutOffset", 125);
    merge(values);
}

int Config::thermalTime() const {
    return static_cast<int>(get("thermalTime").toInt());
}

int Config::folder() const {
    return static_cast<int>(get("folder").toInt());
}

int Config::ccsid() const {
    return static_cast<int>(get("ccsid").toInt());
}

QrEcc Config::qrEcc() const {
    const std::string level = get("qrEcc").toString();
    if (level == "high")
        return QrEcc::High;
    if (level == "low")
        return QrEcc::Low;
    log(Log::Warning, "Unknown QrEcc level '%s', using default high", level.c_str());
    return QrEcc::High;
}

std::string Config::reelPrefix(Types::Reel reel) {
    return "reel" + std::to_string(static_cast<int>(reel));
}

int Config::cutOffsetType(Types::Reel reel) const {
    const std::string type = get(reelPrefix(reel) + "/cutOffsetType").toString();
    if (type == "manual")
        return Manual;
    if (type == "blackMarkBottom")
        return BlackMarkBottom;
    if (type == "blackMarkTop")
        return BlackMarkTop;
    log(Log::Warning, "Unknown CutOffsetType '%s', using default 'blackMarkTop'", type.c_str());
    return BlackMarkTop;
}

int Config::cutOffset(Types::Reel reel) const {
    return static_cast<int>(get(reelPrefix(reel) + "/cutOffset").toInt());
}

void Config::log(Log::Level level, const char* fmt, ...) const {
    va_list args;
    va_start(args, fmt);
    const std::string format = std::string("[ELG150191::Config] ") + fmt;
    Log::vprint(level, format.c_str(), args);
    va_end(args);
}

} // namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191
