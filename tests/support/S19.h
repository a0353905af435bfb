#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvane::test {

// Builds Motorola S-record files for firmware tests and benchmarks (kept free of GoogleTest).
class S19 {
public:
    // A 16-bit record (page 0xFD once mapped) and a 24-bit one.
    S19& s1(uint16_t address, const std::vector<uint8_t>& data);
    S19& s2(uint32_t address, const std::vector<uint8_t>& data);
    // count records of 16 bytes each, spread over the image pages.
    S19& realistic(std::size_t count);
    // count 24-bit records of 32 bytes each, contiguous from page 0xFA on as a linker emits them,
    // wrapping round the 80 KiB image.
    S19& contiguous(std::size_t count);
    // Every line of the file, header and end record included.
    std::vector<std::string> lines() const;
    std::string text() const;
    void save(const std::string& path) const;

private:
    void record(char kind, uint32_t address, int addressBytes, const std::vector<uint8_t>& data);

    std::vector<std::string> mLines{"S00600004844521B"};
};

} // namespace corvane::test
