#include "dispensers/eltra/Firmware.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace zelmo::Corvane::Dispensers::EltraSistemi {

namespace {

// Reflected CRC-16 table for 0x8408 with every entry XOR 0xF078: with it, a start value of 0 and no final
// XOR give CRC-16/X-25 (start 0xFFFF, final XOR 0xFFFF).
constexpr std::array<uint16_t, 256> makeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t crc = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
        }
        table[i] = static_cast<uint16_t>(crc ^ 0xF078);
    }
    return table;
}

constexpr std::array<uint16_t, 256> CRC16_TABLE = makeCrcTable();

constexpr uint32_t PacketHeaderSize = 5;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// A field of exactly `digits` hexadecimal characters; anything else is a malformed record.
uint32_t hexField(const std::string& line, std::size_t pos, std::size_t digits) {
    if (pos + digits > line.size()) {
        throw std::invalid_argument("record too short");
    }
    uint32_t value = 0;
    for (std::size_t i = pos; i < pos + digits; ++i) {
        const int digit = hexDigit(line[i]);
        if (digit < 0) {
            throw std::invalid_argument("not a hexadecimal digit");
        }
        value = (value << 4) | static_cast<uint32_t>(digit);
    }
    return value;
}

} // namespace

FirmwareImage::FirmwareImage() : mBytes(Size, 0xFF) {}

bool FirmwareImage::write(uint32_t global, const uint8_t* data, std::size_t n) {
    // Records outside the region are not part of the checksum; writing them would run off the buffer.
    if (global < Base || global - Base > Size || n > Size - (global - Base)) {
        return false;
    }
    const std::size_t offset = global - Base;
    std::copy(data, data + n, mBytes.begin() + static_cast<std::ptrdiff_t>(offset));
    std::size_t padded = (n + 7) / 8 * 8;
    if (padded >= 256) {
        padded = n;
    }
    const std::size_t end = std::min(offset + padded, Size);
    std::fill(mBytes.begin() + static_cast<std::ptrdiff_t>(offset + n),
              mBytes.begin() + static_cast<std::ptrdiff_t>(end), 0x00);
    return true;
}

bool FirmwareImage::writePacket(const std::vector<uint8_t>& packet) {
    if (packet.size() < PacketHeaderSize || packet[1] != 0x01 ||
        packet.size() != PacketHeaderSize + packet[0]) {
        return false;
    }
    const uint32_t global = (uint32_t{packet[2]} << 16) | (uint32_t{packet[3]} << 8) | packet[4];
    return write(global, packet.data() + PacketHeaderSize, packet[0]);
}

uint16_t FirmwareImage::crc() const {
    return Firmware::crc16(mBytes);
}

Firmware::Firmware() : Logger("Firmware") {}

bool Firmware::open(const std::string& path) {
    mFilename = path;
    mOpened = false;
    mLines.clear();
    mPackets.clear();
    mCrc = 0;

    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        log(Log::Error, "Could not open firmware file '%s': %s", path.c_str(), std::strerror(EISDIR));
        return false;
    }
    std::ifstream file(path);
    if (!file) {
        log(Log::Error, "Could not open firmware file '%s': %s", path.c_str(), std::strerror(errno));
        return false;
    }
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
    }
    if (file.bad()) {
        log(Log::Error, "Could not read firmware file '%s': %s", path.c_str(), std::strerror(errno));
        return false;
    }
    log(Log::Info, "Loaded %d lines", static_cast<int>(lines.size()));

    std::vector<Record> records;
    try {
        records = parseRecords(lines);
    } catch (const std::invalid_argument& e) {
        log(Log::Error, "Malformed firmware file '%s': %s", path.c_str(), e.what());
        return false;
    }
    mLines = std::move(lines);
    mCrc = crcOfRecords(records);
    mPackets = packetsOf(records);
    mOpened = true;
    return true;
}

uint16_t Firmware::calculateCrc(const std::vector<std::string>& lines) const {
    return crcOfRecords(parseRecords(lines));
}

std::vector<Firmware::Packet> Firmware::calculateBytes(const std::vector<std::string>& lines) const {
    return packetsOf(parseRecords(lines));
}

Firmware::Packet Firmware::packageLine(const std::vector<uint8_t>& data, std::size_t n, uint32_t global) {
    n = std::min({n, data.size(), std::size_t{0xFF}});
    Packet packet;
    packet.reserve(PacketHeaderSize + n);
    packet.push_back(static_cast<uint8_t>(n));
    packet.push_back(0x01);
    packet.push_back(static_cast<uint8_t>(global >> 16));
    packet.push_back(static_cast<uint8_t>(global >> 8));
    packet.push_back(static_cast<uint8_t>(global));
    packet.insert(packet.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
    return packet;
}

std::pair<bool, uint32_t> Firmware::localAddressToGlobal(uint32_t address, bool skip) {
    uint32_t page = (address >> 16) & 0xFF;
    if (page == 0) {
        page = 0xFD;
    }
    const uint32_t global = 0x400000 | (page << 14) | (address & 0x3FFF);
    const bool excluded = (page >= 0xC0 && page <= 0xC3) || page == 0xE0 || page == 0xE1;
    return {!(skip && excluded), global};
}

uint16_t Firmware::crc16(const std::vector<uint8_t>& image) {
    uint16_t crc = 0;
    for (const uint8_t byte : image) {
        crc = static_cast<uint16_t>(CRC16_TABLE[(byte ^ crc) & 0xFF] ^ (crc >> 8));
    }
    return crc;
}

uint16_t Firmware::crcOfPackets(const std::vector<Packet>& packets) {
    FirmwareImage image;
    for (const auto& packet : packets) {
        if (packet.size() < PacketHeaderSize) {
            continue;
        }
        const uint32_t global = (uint32_t{packet[2]} << 16) | (uint32_t{packet[3]} << 8) | packet[4];
        const uint32_t page = (global >> 14) & 0xFF;
        if (localAddressToGlobal(page << 16, true).first) {
            image.writePacket(packet);
        }
    }
    return image.crc();
}

std::vector<Firmware::Record> Firmware::parseRecords(const std::vector<std::string>& lines) {
    std::vector<Record> records;
    for (std::size_t index = 0; index < lines.size(); ++index) {
        const std::string& line = lines[index];
        if (line.size() < 2 || (line[1] != '1' && line[1] != '2')) {
            continue;
        }
        try {
            const bool s1 = line[1] == '1';
            const std::size_t addressDigits = s1 ? 4 : 6;
            const uint32_t overhead = s1 ? 3 : 4;
            const uint32_t count = hexField(line, 2, 2);
            if (count < overhead) {
                throw std::invalid_argument("byte count too small");
            }
            const uint32_t address = hexField(line, 4, addressDigits);
            if (s1 && address > 0x7FFF) {
                continue;
            }
            Record record{address, {}};
            const std::size_t n = count - overhead;
            const std::size_t dataStart = 4 + addressDigits;
            record.data.reserve(n);
            for (std::size_t i = 0; i < n; ++i) {
                record.data.push_back(static_cast<uint8_t>(hexField(line, dataStart + 2 * i, 2)));
            }
            records.push_back(std::move(record));
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument("line " + std::to_string(index + 1) + ": " + e.what());
        }
    }
    return records;
}

uint16_t Firmware::crcOfRecords(const std::vector<Record>& records) {
    FirmwareImage image;
    for (const auto& record : records) {
        const auto [valid, global] = localAddressToGlobal(record.address, true);
        if (valid) {
            image.write(global, record.data.data(), record.data.size());
        }
    }
    return image.crc();
}

std::vector<Firmware::Packet> Firmware::packetsOf(const std::vector<Record>& records) {
    std::vector<Packet> packets;
    packets.reserve(records.size());
    for (const auto& record : records) {
        packets.push_back(
            packageLine(record.data, record.data.size(), localAddressToGlobal(record.address, false).second));
    }
    return packets;
}

} // namespace zelmo::Corvane::Dispensers::EltraSistemi
