#pragma once

#include "Logger.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zelmo::Corvane::Dispensers::EltraSistemi {

// The flash region whose CRC16 the printer's boot loader reports: global addresses 0x7E8000-0x7FBFFF
// (pages 0xFA-0xFE), erased to 0xFF. Shared by the firmware reader and the printer simulator so both
// compute the checksum the same way.
class FirmwareImage {
public:
    static constexpr uint32_t Base = 0x7E8000;
    static constexpr std::size_t Size = 0x14000;

    FirmwareImage();

    // Writes one record's data at its global address and zeroes the bytes up to the next multiple of
    // eight (the boot loader writes whole 8-byte words). A record that does not lie wholly inside the
    // image is left out and false is returned; padding past the image end is cut off.
    bool write(uint32_t global, const uint8_t* data, std::size_t n);

    // The same for one boot-loader packet (n, 0x01, 24-bit address, n data bytes). A packet that is not
    // of that shape is left out (false).
    bool writePacket(const std::vector<uint8_t>& packet);

    uint16_t crc() const;
    const std::vector<uint8_t>& bytes() const { return mBytes; }

private:
    std::vector<uint8_t> mBytes;
};

// A Motorola S-record firmware file for the ELG15019: its boot-loader packets and the CRC16 of the flash
// image they describe.
class Firmware : public Logger {
public:
    using Packet = std::vector<uint8_t>;

    Firmware();

    // Reads the file and prepares packets and CRC. Returns false (with an error logged) when the file
    // cannot be read or a record holds something other than hexadecimal digits.
    bool open(const std::string& path);

    // These throw std::invalid_argument for a malformed S1/S2 record.
    uint16_t calculateCrc(const std::vector<std::string>& lines) const;
    std::vector<Packet> calculateBytes(const std::vector<std::string>& lines) const;

    static Packet packageLine(const std::vector<uint8_t>& data, std::size_t n, uint32_t global);
    // (valid, global address); with skip set, pages 0xC0-0xC3 and 0xE0-0xE1 are not valid.
    static std::pair<bool, uint32_t> localAddressToGlobal(uint32_t address, bool skip);
    // CRC-16/X-25 in its table form; any length (the image is 81920 bytes).
    static uint16_t crc16(const std::vector<uint8_t>& image);
    // The CRC of the image that the given packets write, as the boot loader would report it.
    static uint16_t crcOfPackets(const std::vector<Packet>& packets);

    bool opened() const { return mOpened; }
    const std::string& filename() const { return mFilename; }
    uint16_t crc() const { return mCrc; }
    const std::vector<Packet>& bytes() const { return mPackets; }

private:
    struct Record {
        uint32_t address;
        std::vector<uint8_t> data;
    };
    static std::vector<Record> parseRecords(const std::vector<std::string>& lines);
    static uint16_t crcOfRecords(const std::vector<Record>& records);
    static std::vector<Packet> packetsOf(const std::vector<Record>& records);

    std::string mFilename;
    std::vector<std::string> mLines;
    std::vector<Packet> mPackets;
    uint16_t mCrc = 0;
    bool mOpened = false;
};

} // namespace zelmo::Corvane::Dispensers::EltraSistemi
