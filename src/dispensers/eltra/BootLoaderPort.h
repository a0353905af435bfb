#pragma once

#include "SerialPort.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191 {

// The serial line to the printer's boot loader: 115200 baud, 8 data bits, 1 stop bit, no parity.
// Every read is bounded, so a printer that dies halfway through an upgrade cannot hold the caller.
class BootLoaderPort {
public:
    explicit BootLoaderPort(std::chrono::milliseconds readLimit) : mReadLimit(readLimit) {}

    bool open(const std::string& device);
    // Restores the terminal settings found at open.
    void close() { mPort.close(); }

    bool write(uint8_t byte) { return mPort.write(byte); }
    bool write(const std::vector<uint8_t>& bytes) { return mPort.writeBytes(bytes) == bytes.size(); }
    // The next byte, or nothing when none arrived within the read limit.
    std::optional<uint8_t> read();

private:
    SerialPort mPort;
    std::chrono::milliseconds mReadLimit;
};

} // namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191
