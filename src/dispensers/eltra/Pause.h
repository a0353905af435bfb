#pragma once

#include "dispensers/eltra/Driver.h"

#include <chrono>
#include <thread>

namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191 {

// The fixed pauses the printer needs during firmware upgrade and resource upload.
inline void pause(const Timing& timing, std::chrono::milliseconds duration) {
    if (timing.sleep)
        timing.sleep(duration);
    else
        std::this_thread::sleep_for(duration);
}

} // namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191
