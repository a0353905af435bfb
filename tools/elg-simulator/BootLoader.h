#pragma once

#include "Hex.h"

#include "dispensers/eltra/Firmware.h"

#include <functional>
#include <optional>
#include <string>

namespace elgsim {

// The printer's boot loader, entered with command '|'. It speaks a binary byte protocol instead of
// ELX frames (ELX polls get no answer here):
//   0x02               enter binary mode        -> one answer byte
//   0x00 0x02          erase the flash          -> 244 progress bytes ('*', '.' or '#'), then one byte
//   n 0x01 a2 a1 a0 d… write one record         -> one answer byte
//   0x00 0x03          report the flash CRC16   -> two bytes, most significant first (the CRC of the
//                                                  records written since the last erase)
//   0x00 0x00          leave binary mode        -> none; the printer runs its firmware again
class BootLoader {
public:
    using Sender = std::function<void(const Bytes&)>;
    using Recorder = std::function<void(const std::string&)>;

    BootLoader(Sender send, Recorder record);

    void enter();
    // Returns false once the host has left the boot loader.
    bool feed(uint8_t byte);

    // Reported instead of the CRC of what was written.
    void setCrc(uint16_t crc) { mCrc = crc; }
    void autoCrc() { mCrc.reset(); }
    // Answer byte for every written record (0x06 unless told otherwise).
    void setPacketAnswer(uint8_t answer) { mPacketAnswer = answer; }

private:
    enum class State { Idle, Command, PacketFlag, PacketAddress, PacketData };

    void finishPacket();

    Sender mSend;
    Recorder mRecord;
    State mState = State::Idle;
    Bytes mPacket;
    std::size_t mExpected = 0;
    std::optional<uint16_t> mCrc;
    zelmo::Corvane::Dispensers::EltraSistemi::FirmwareImage mFlash;
    uint8_t mPacketAnswer = 0x06;
};

} // namespace elgsim
