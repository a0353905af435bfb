#include "dispensers/eltra/BootLoaderPort.h"

#include <thread>

namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191 {

namespace {

// Reads wait in short terminal time-outs, so the overall limit is kept to within one slice.
constexpr int SliceMs = 100;

} // namespace

bool BootLoaderPort::open(const std::string& device) {
    return mPort.open(device, 115200, SliceMs, 8, 1, SerialPort::None);
}

std::optional<uint8_t> BootLoaderPort::read() {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + mReadLimit;
    for (;;) {
        const auto started = Clock::now();
        const int byte = mPort.read();
        if (byte >= 0)
            return static_cast<uint8_t>(byte);
        const auto now = Clock::now();
        if (now >= deadline)
            return std::nullopt;
        // A read that fails at once (a vanished device) must not turn the wait into a busy loop.
        if (now - started < std::chrono::milliseconds(SliceMs / 2))
            std::this_thread::sleep_for(std::chrono::milliseconds(SliceMs / 5));
    }
}

} // namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191
