#pragma once

#include "SettingStore.h"

#include <string>

namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191 {

namespace Types {
enum class Reel : int { Reel1 = 1, Reel2 = 2 };
} // namespace Types

// QR error-correction level as the printer knows it.
enum class QrEcc : int { High = 0, Low = 1 };

// Cut offset type digits sent to the printer (1 is not used).
enum CutOffsetType : int { Manual = 0, BlackMarkBottom = 2, BlackMarkTop = 3 };

// The printer's configuration section: "thermalTime", "folder", "qrEcc", "ccsid",
// "reel1/cutOffsetType", "reel2/cutOffsetType", "reel1/cutOffset", "reel2/cutOffset" (and "params").
class Config : public SettingStore {
public:
    Config();

    void defaults();

    int thermalTime() const;
    int folder() const;
    int ccsid() const;
    QrEcc qrEcc() const;
    int cutOffsetType(Types::Reel reel) const;
    int cutOffset(Types::Reel reel) const;

    static std::string reelPrefix(Types::Reel reel);

private:
    void log(Log::Level level, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));
};

} // namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191
