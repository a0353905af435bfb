#include "dispensers/eltra/Firmware.h"

#include "LogCapture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <unistd.h>

namespace {

using zelmo::Corvane::Dispensers::EltraSistemi::Firmware;
using zelmo::Corvane::Dispensers::EltraSistemi::FirmwareImage;
using Bytes = std::vector<uint8_t>;

constexpr std::size_t kImageSize = 81920;

std::string hex(unsigned value, int digits) {
    char buffer[16];
    std::snprintf(buffer, sizeof(buffer), "%0*X", digits, value);
    return buffer;
}

// One S1 or S2 record with a correct byte count and checksum.
std::string record(int type, uint32_t address, const Bytes& data) {
    const int addressBytes = type == 1 ? 2 : 3;
    const unsigned count = static_cast<unsigned>(addressBytes + data.size() + 1);
    unsigned sum = count;
    std::string line = "S" + std::to_string(type) + hex(count, 2) + hex(address, addressBytes * 2);
    for (int i = 0; i < addressBytes; ++i)
        sum += (address >> (8 * i)) & 0xFF;
    for (const uint8_t byte : data) {
        line += hex(byte, 2);
        sum += byte;
    }
    return line + hex(~sum & 0xFF, 2);
}

Bytes sequence(std::size_t n, uint8_t first = 1) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

Bytes erased() {
    return Bytes(kImageSize, 0xFF);
}

// Plain bit-by-bit CRC-16/X-25, independent of the table form under test.
uint16_t x25(const Bytes& bytes) {
    uint16_t crc = 0xFFFF;
    for (const uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
    }
    return static_cast<uint16_t>(crc ^ 0xFFFF);
}

class TempFile {
public:
    explicit TempFile(const std::vector<std::string>& lines, const char* eol = "\n") {
        mPath = (std::filesystem::temp_directory_path() /
                 ("eltra-print-" + std::to_string(getpid()) + "-" + std::to_string(sCounter++) + ".s19"))
                    .string();
        std::ofstream out(mPath, std::ios::binary);
        for (const auto& line : lines)
            out << line << eol;
    }
    ~TempFile() { std::filesystem::remove(mPath); }
    const std::string& path() const { return mPath; }

private:
    static inline int sCounter = 0;
    std::string mPath;
};

TEST(FirmwareCrc, CheckValueAndTableFormMatchX25) {
    const std::string check = "123456789";
    EXPECT_EQ(Firmware::crc16(Bytes(check.begin(), check.end())), 0x906E);
    EXPECT_EQ(Firmware::crc16({}), 0x0000);

    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        Bytes bytes(random() % 300);
        for (auto& byte : bytes)
            byte = static_cast<uint8_t>(random());
        EXPECT_EQ(Firmware::crc16(bytes), x25(bytes));
    }
}

TEST(FirmwareAddress, LocalToGlobal) {
    struct Case {
        uint32_t address;
        bool skip;
        bool valid;
        uint32_t global;
    };
    const std::vector<Case> cases = {
        {0x0000, true, true, 0x7F4000},    {0x1234, true, true, 0x7F5234},
        {0x4000, true, true, 0x7F4000},    {0xFA0000, true, true, 0x7E8000},
        {0xFE3FFF, true, true, 0x7FBFFF},  {0xC01234, true, false, 0x701234},
        {0xC3FFFF, true, false, 0x70FFFF}, {0xE00010, true, false, 0x780010},
        {0xE10010, true, false, 0x784010}, {0xC41234, true, true, 0x711234},
        {0xE01234, false, true, 0x781234}, {0xFF0000, true, true, 0x7FC000},
    };
    for (const auto& c : cases) {
        const auto [valid, global] = Firmware::localAddressToGlobal(c.address, c.skip);
        EXPECT_EQ(valid, c.valid) << std::hex << c.address;
        EXPECT_EQ(global, c.global) << std::hex << c.address;
    }
}

TEST(FirmwarePackets, S1ExampleBecomesPacketAndFillsImageAtC000) {
    const Bytes data = sequence(16, 0xA0);
    const std::string line = record(1, 0x0000, data);
    ASSERT_EQ(line.substr(0, 8), "S1130000");

    Firmware firmware;
    const auto packets = firmware.calculateBytes({line});
    ASSERT_EQ(packets.size(), 1u);
    ASSERT_EQ(packets[0].size(), 21u);
    EXPECT_EQ(Bytes(packets[0].begin(), packets[0].begin() + 5), (Bytes{0x10, 0x01, 0x7F, 0x40, 0x00}));
    EXPECT_EQ(Bytes(packets[0].begin() + 5, packets[0].end()), data);

    Bytes image = erased();
    std::copy(data.begin(), data.end(), image.begin() + 0xC000);
    EXPECT_EQ(firmware.calculateCrc({line}), x25(image));
}

TEST(FirmwarePackets, S1AboveTopOfBankIsNeitherSentNorCounted) {
    Firmware firmware;
    const std::vector<std::string> lines = {record(1, 0x8000, sequence(8))};
    EXPECT_TRUE(firmware.calculateBytes(lines).empty());
    EXPECT_EQ(firmware.calculateCrc(lines), x25(erased()));
}

TEST(FirmwarePackets, ExcludedPageIsSentButNotCounted) {
    Firmware firmware;
    const std::vector<std::string> lines = {record(2, 0xE01234, sequence(8))};
    const auto packets = firmware.calculateBytes(lines);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(Bytes(packets[0].begin(), packets[0].begin() + 5), (Bytes{0x08, 0x01, 0x78, 0x12, 0x34}));
    EXPECT_EQ(firmware.calculateCrc(lines), x25(erased()));
}

TEST(FirmwarePackets, OtherRecordTypesAreIgnored) {
    Firmware firmware;
    const std::vector<std::string> lines = {"S00F000068656C6C6F202020202000003C",
                                            "S30900FA0000010203045F",
                                            "S5030001FB",
                                            "S9030000FC",
                                            "S804000000FB",
                                            "",
                                            "S"};
    EXPECT_TRUE(firmware.calculateBytes(lines).empty());
    EXPECT_EQ(firmware.calculateCrc(lines), x25(erased()));
}

TEST(FirmwareImageTest, ShortRecordsArePaddedWithZerosToEightBytes) {
    struct Case {
        std::size_t n;
        std::size_t zeros;
    };
    for (const Case c :
         {Case{5, 3}, Case{8, 0}, Case{1, 7}, Case{13, 3}, Case{248, 0}, Case{250, 0}, Case{0, 0}}) {
        FirmwareImage image;
        const Bytes data = sequence(c.n, 0x10);
        ASSERT_TRUE(image.write(FirmwareImage::Base + 0x100, data.data(), data.size()));
        const auto& bytes = image.bytes();
        EXPECT_EQ(bytes[0xFF], 0xFF);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), bytes.begin() + 0x100)) << c.n;
        for (std::size_t i = 0; i < c.zeros; ++i)
            EXPECT_EQ(bytes[0x100 + c.n + i], 0x00) << c.n;
        EXPECT_EQ(bytes[0x100 + c.n + c.zeros], 0xFF) << c.n;
    }
}

TEST(FirmwareImageTest, PaddingShowsInTheFileCrc) {
    Firmware firmware;
    const Bytes five = {1, 2, 3, 4, 5};
    Bytes image = erased();
    std::copy(five.begin(), five.end(), image.begin());
    std::fill(image.begin() + 5, image.begin() + 8, 0x00);
    EXPECT_EQ(firmware.calculateCrc({record(2, 0xFA0000, five)}), x25(image));
}

TEST(FirmwareImageTest, RecordsOutsideTheImageAreLeftOutButStillSent) {
    // Below the image, above it, and straddling its end: none may touch memory outside the image.
    const std::vector<std::string> lines = {
        record(2, 0x100000, sequence(32)),
        record(2, 0xFF3FF0, sequence(16)),
        record(2, 0xFE3FF8, sequence(16)),
        record(2, 0xF90000, sequence(32)),
    };
    Firmware firmware;
    EXPECT_EQ(firmware.calculateCrc(lines), x25(erased()));
    EXPECT_EQ(firmware.calculateBytes(lines).size(), lines.size());

    FirmwareImage image;
    const Bytes data = sequence(16);
    EXPECT_FALSE(image.write(0x7FBFF8, data.data(), data.size()));
    EXPECT_FALSE(image.write(0x7E7FFF, data.data(), 1));
    EXPECT_FALSE(image.write(0xFFFFFFFF, data.data(), data.size()));
    EXPECT_EQ(image.bytes(), erased());
}

TEST(FirmwareImageTest, RecordAtTheVeryEndKeepsItsDataAndCutsThePadding) {
    FirmwareImage image;
    const Bytes data = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
    ASSERT_TRUE(image.write(0x7FBFFB, data.data(), data.size()));
    EXPECT_EQ(image.bytes().size(), kImageSize);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), image.bytes().end() - 5));
}

TEST(FirmwareImageTest, PacketsGiveTheSameCrcAsTheFile) {
    const std::vector<std::string> lines = {
        record(1, 0x0000, sequence(16)),         record(2, 0xFA0010, sequence(5)),
        record(2, 0xE00000, sequence(8)),        record(2, 0xFF0000, sequence(32)),
        record(2, 0xFE3FF0, sequence(16, 0x80)),
    };
    Firmware firmware;
    EXPECT_EQ(Firmware::crcOfPackets(firmware.calculateBytes(lines)), firmware.calculateCrc(lines));
    EXPECT_NE(firmware.calculateCrc(lines), x25(erased()));
}

TEST(FirmwareImageTest, MisshapenPacketsAreLeftOut) {
    FirmwareImage image;
    EXPECT_FALSE(image.writePacket({}));
    EXPECT_FALSE(image.writePacket({0x02, 0x01, 0x7E, 0x80, 0x00, 0xAA})); // one data byte short
    EXPECT_FALSE(image.writePacket({0x01, 0x02, 0x7E, 0x80, 0x00, 0xAA})); // not a write
    EXPECT_TRUE(image.writePacket({0x02, 0x01, 0x7E, 0x80, 0x00, 0xAA, 0xBB}));
    EXPECT_EQ(image.bytes()[0], 0xAA);
    EXPECT_EQ(image.bytes()[1], 0xBB);
    EXPECT_EQ(image.bytes()[2], 0x00);
}

TEST(FirmwareOpen, ReadsFileIntoPacketsAndCrc) {
    const std::vector<std::string> lines = {"S00600004844521B", record(1, 0x0000, sequence(16)),
                                            record(2, 0xFA0000, sequence(5)), "S9030000FC"};
    TempFile file(lines, "\r\n");
    LogCapture capture;
    Firmware firmware;
    ASSERT_TRUE(firmware.open(file.path()));
    EXPECT_THAT(capture.text(), testing::HasSubstr("[Firmware] Loaded 4 lines"));
    EXPECT_TRUE(firmware.opened());
    EXPECT_EQ(firmware.filename(), file.path());
    EXPECT_EQ(firmware.bytes(), firmware.calculateBytes(lines));
    EXPECT_EQ(firmware.bytes().size(), 2u);
    EXPECT_EQ(firmware.crc(), firmware.calculateCrc(lines));
    EXPECT_EQ(firmware.crc(), Firmware::crcOfPackets(firmware.bytes()));
}

TEST(FirmwareOpen, LowerCaseHexIsAccepted) {
    std::string line = record(2, 0xFA0000, {0xAB, 0xCD});
    std::transform(line.begin() + 1, line.end(), line.begin() + 1, [](char c) { return std::tolower(c); });
    TempFile file({line});
    Firmware firmware;
    ASSERT_TRUE(firmware.open(file.path()));
    EXPECT_EQ(firmware.bytes().at(0), (Bytes{0x02, 0x01, 0x7E, 0x80, 0x00, 0xAB, 0xCD}));
}

TEST(FirmwareOpen, EmptyFileHasNoPacketsAndTheErasedCrc) {
    TempFile file({});
    Firmware firmware;
    ASSERT_TRUE(firmware.open(file.path()));
    EXPECT_TRUE(firmware.bytes().empty());
    EXPECT_EQ(firmware.crc(), x25(erased()));
}

TEST(FirmwareOpen, MissingFileOrDirectoryIsReported) {
    LogCapture capture;
    Firmware firmware;
    EXPECT_FALSE(firmware.open("/nonexistent/fw.s19"));
    EXPECT_FALSE(firmware.open(std::filesystem::temp_directory_path().string()));
    EXPECT_FALSE(firmware.opened());
    EXPECT_THAT(capture.text(),
                testing::HasSubstr("[Firmware] Could not open firmware file '/nonexistent/fw.s19': "
                                   "No such file or directory"));
}

TEST(FirmwareOpen, MalformedRecordsAreRefused) {
    const std::string good = record(2, 0xFA0000, sequence(4));
    const std::vector<std::string> malformed = {
        "S1ZZ0000",                                         // byte count
        "S1130G00" + good.substr(8),                        // address
        "S2" + good.substr(2, 10) + "0x" + good.substr(14), // data
        "S113000001",                                       // data shorter than the count says
        "S1020000",                                         // count smaller than the address and checksum
        "S2",                                               // no fields at all
        "S1-3000011",                                       // sign characters are not digits
    };
    for (const auto& line : malformed) {
        Firmware firmware;
        EXPECT_THROW(firmware.calculateCrc({good, line}), std::invalid_argument) << line;
        EXPECT_THROW(firmware.calculateBytes({line}), std::invalid_argument) << line;

        TempFile file({good, line});
        LogCapture capture;
        EXPECT_FALSE(firmware.open(file.path())) << line;
        EXPECT_FALSE(firmware.opened());
        EXPECT_TRUE(firmware.bytes().empty());
        EXPECT_THAT(capture.text(),
                    testing::HasSubstr("Malformed firmware file '" + file.path() + "': line 2: "));
    }
}

TEST(FirmwareOpen, FailedOpenForgetsThePreviousFile) {
    TempFile good({record(2, 0xFA0000, sequence(4))});
    TempFile bad({"S2zz"});
    Firmware firmware;
    ASSERT_TRUE(firmware.open(good.path()));
    EXPECT_FALSE(firmware.open(bad.path()));
    EXPECT_FALSE(firmware.opened());
    EXPECT_TRUE(firmware.bytes().empty());
    EXPECT_EQ(firmware.filename(), bad.path());
}

TEST(FirmwarePackets, PackageLineLayout) {
    EXPECT_EQ(Firmware::packageLine({9, 8, 7}, 3, 0x7F4123), (Bytes{0x03, 0x01, 0x7F, 0x41, 0x23, 9, 8, 7}));
    EXPECT_EQ(Firmware::packageLine({}, 0, 0x7E8000), (Bytes{0x00, 0x01, 0x7E, 0x80, 0x00}));
}

} // namespace
