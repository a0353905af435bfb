#include "S19.h"

#include <cstdio>
#include <fstream>

namespace corvane::test {

namespace {

std::string hex2(unsigned value) {
    char text[4];
    std::snprintf(text, sizeof(text), "%02X", value & 0xFF);
    return text;
}

} // namespace

void S19::record(char kind, uint32_t address, int addressBytes, const std::vector<uint8_t>& data) {
    const unsigned count = static_cast<unsigned>(addressBytes + data.size() + 1);
    std::string line = std::string("S") + kind + hex2(count);
    unsigned sum = count;
    for (int i = addressBytes - 1; i >= 0; --i) {
        const unsigned byte = (address >> (8 * i)) & 0xFF;
        line += hex2(byte);
        sum += byte;
    }
    for (const uint8_t byte : data) {
        line += hex2(byte);
        sum += byte;
    }
    line += hex2(~sum & 0xFF);
    mLines.push_back(line);
}

S19& S19::s1(uint16_t address, const std::vector<uint8_t>& data) {
    record('1', address, 2, data);
    return *this;
}

S19& S19::s2(uint32_t address, const std::vector<uint8_t>& data) {
    record('2', address, 3, data);
    return *this;
}

S19& S19::realistic(std::size_t count) {
    // Pages 0xFA-0xFC as 24-bit records, the rest below 0x4000 as 16-bit ones (page 0xFD).
    for (std::size_t k = 0; k < count; ++k) {
        std::vector<uint8_t> data(16);
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(k * 7 + i * 13);
        const uint32_t offset = static_cast<uint32_t>((k * 16) % 0x4000);
        if (k % 4 == 3)
            s1(static_cast<uint16_t>(offset), data);
        else
            s2((static_cast<uint32_t>(0xFA + k % 3) << 16) | offset, data);
    }
    return *this;
}

S19& S19::contiguous(std::size_t count) {
    constexpr std::size_t kDataBytes = 32;
    constexpr uint32_t kImageBytes = 0x14000; // pages 0xFA-0xFE
    for (std::size_t k = 0; k < count; ++k) {
        std::vector<uint8_t> data(kDataBytes);
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(k * 31 + i * 7);
        const uint32_t offset = static_cast<uint32_t>((k * kDataBytes) % kImageBytes);
        s2(((0xFA + offset / 0x4000) << 16) | (offset % 0x4000), data);
    }
    return *this;
}

std::vector<std::string> S19::lines() const {
    std::vector<std::string> lines = mLines;
    lines.push_back("S9030000FC");
    return lines;
}

std::string S19::text() const {
    std::string text;
    for (const auto& line : lines())
        text += line + "\n";
    return text;
}

void S19::save(const std::string& path) const {
    std::ofstream(path) << text();
}

} // namespace corvane::test
