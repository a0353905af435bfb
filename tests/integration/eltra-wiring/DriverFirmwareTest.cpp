#include "S19.h"
#include "SimulatedPrinter.h"

#include "ErrorCode.h"
#include "dispensers/eltra/Firmware.h"

#include <gmock/gmock.h>

#include <cstdio>

using namespace corvane::test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using zelmo::Corvane::ErrorCode;
using zelmo::Corvane::Dispensers::EltraSistemi::Firmware;
using zelmo::Corvane::Dispensers::EltraSistemi::ELG150191::Programming;

namespace {

// Boot-loader answers before the first record: binary mode (1) and erase (244 + 1).
constexpr long kAnswersBeforeRecords = 1 + 244 + 1;

class FirmwareUpgrade : public SimulatedPrinter {
protected:
    void SetUp() override {
        SimulatedPrinter::SetUp();
        image = (dir.path() / "image.s19").string();
        S19().realistic(40).s2(0xE00000, {1, 2, 3}).s1(0x8000, {9, 9}).save(image);
        ASSERT_TRUE(firmware.open(image));
        driver->firmwareUpgradeProgress.connect([this](float p) { progress.add(p); });
    }

    std::vector<std::string> packetsSent() {
        std::vector<std::string> packets;
        for (const auto& line : records("boot packet "))
            packets.push_back(line.substr(12));
        return packets;
    }

    std::string image;
    Firmware firmware;
    Emissions progress;
};

TEST_F(FirmwareUpgrade, RunsThroughTheBootLoaderAndRestartsTheDriver) {
    captureLog();
    EXPECT_EQ(driver->firmwareUpgrade(image, 0), std::error_code(ErrorCode::Success));
    const std::string log = capturedLog();

    EXPECT_TRUE(driver->isRunning());
    EXPECT_TRUE(driver->getStatus());
    EXPECT_THAT(records("boot "), ::testing::Contains("boot erase"));
    EXPECT_EQ(packetsSent(), hexPackets(image));
    EXPECT_EQ(packetsSent().size(), 41u); // the record above 0x7FFF is left out
    EXPECT_THAT(pauses.taken(), ElementsAre(3000, 500, 3000, 4000));

    char reported[64];
    std::snprintf(reported, sizeof(reported), "Reported CRC16: %d [0x%04X]", firmware.crc(), firmware.crc());
    EXPECT_THAT(log, HasSubstr(reported));
    EXPECT_THAT(log, Not(HasSubstr("does not match")));
    EXPECT_THAT(log, Not(HasSubstr("not in set")));
}

TEST_F(FirmwareUpgrade, ProgressRisesFromZeroThroughFiftyToHundred) {
    ASSERT_FALSE(driver->firmwareUpgrade(image, 0));
    const auto values = progress.values();
    ASSERT_EQ(values.size(), 244u + 1u + 41u + 1u);
    EXPECT_FLOAT_EQ(values.front(), 0.0f);
    EXPECT_FLOAT_EQ(values[244], 50.0f);
    EXPECT_FLOAT_EQ(values.back(), 100.0f);
    for (std::size_t i = 1; i < values.size(); ++i)
        EXPECT_GE(values[i], values[i - 1]) << i;
    EXPECT_LT(values[243], 50.0f);
    EXPECT_GE(values[245], 50.0f);
}

TEST_F(FirmwareUpgrade, SecondUpgradeStartsItsProgressAgain) {
    ASSERT_FALSE(driver->firmwareUpgrade(image, 0));
    const std::size_t first = progress.values().size();
    sim.clear();
    ASSERT_FALSE(driver->firmwareUpgrade(image, firmware.crc()));
    const auto values = progress.values();
    ASSERT_EQ(values.size(), 2 * first);
    EXPECT_FLOAT_EQ(values[first], 0.0f);
    EXPECT_FLOAT_EQ(values.back(), 100.0f);
    EXPECT_EQ(packetsSent(), hexPackets(image));
}

TEST_F(FirmwareUpgrade, ExpectedCrcMismatchIsRefusedBeforeTouchingThePrinter) {
    captureLog();
    const unsigned short wrong = static_cast<unsigned short>(firmware.crc() ^ 0x1111);
    EXPECT_EQ(driver->firmwareUpgrade(image, wrong), ErrorCode::MalformedRequest);
    EXPECT_THAT(capturedLog(), HasSubstr("CRC16 does not match"));
    EXPECT_TRUE(sim.frames().empty());
    EXPECT_TRUE(progress.values().empty());
    EXPECT_TRUE(driver->isRunning());
}

TEST_F(FirmwareUpgrade, UnreadableOrMalformedFileIsRefused) {
    writeFile(dir.path() / "bad.s19", "S1130000ZZ\n");
    EXPECT_EQ(driver->firmwareUpgrade((dir.path() / "missing.s19").string(), 0), ErrorCode::MalformedRequest);
    EXPECT_EQ(driver->firmwareUpgrade((dir.path() / "bad.s19").string(), 0), ErrorCode::MalformedRequest);
    EXPECT_TRUE(sim.frames().empty());
    EXPECT_TRUE(driver->isRunning());
}

// Files that open but hold nothing to write: erasing the flash for them would leave a dead printer.
TEST_F(FirmwareUpgrade, ImageWithoutDataRecordsIsRefusedBeforeTouchingThePrinter) {
    const std::vector<std::pair<const char*, std::string>> files = {
        {"empty.s19", ""},
        {"text.s19", "This is not a firmware image.\nJust some words.\n"},
        {"header-only.s19", "S0030000FC\nS9030000FC\n"},
        {"above-window.s19", "S1058000090968\n"},
    };
    for (const auto& [name, text] : files) {
        writeFile(dir.path() / name, text);
        Firmware parsed;
        ASSERT_TRUE(parsed.open((dir.path() / name).string())) << name << " opens as an image";
        ASSERT_TRUE(parsed.bytes().empty()) << name;
        EXPECT_EQ(driver->firmwareUpgrade((dir.path() / name).string(), 0), ErrorCode::MalformedRequest)
            << name;
        EXPECT_EQ(driver->firmwareUpgrade((dir.path() / name).string(), parsed.crc()),
                  ErrorCode::MalformedRequest)
            << name;
    }
    EXPECT_TRUE(sim.frames().empty());
    EXPECT_TRUE(records("boot ").empty());
    EXPECT_TRUE(progress.values().empty());
    EXPECT_TRUE(driver->isRunning());
}

// The flash does not hold the image: the printer is brought back, but the upgrade is not done.
TEST_F(FirmwareUpgrade, ReportedCrcMismatchFailsTheUpgradeAndRestartsTheDriver) {
    for (const unsigned short expected : {static_cast<unsigned short>(0), firmware.crc()}) {
        sim.command("crc 1234");
        captureLog();
        EXPECT_EQ(driver->firmwareUpgrade(image, expected), ErrorCode::MalformedResponse) << expected;
        EXPECT_THAT(capturedLog(), HasSubstr("Reported CRC16 does not match"));
        EXPECT_TRUE(driver->isRunning());
        EXPECT_TRUE(driver->getStatus());
    }
}

struct SilentCase {
    const char* name;
    long answers; // boot-loader bytes the printer still sends (after the mode switch acknowledge)
};

class BootLoaderGoesSilent : public FirmwareUpgrade, public ::testing::WithParamInterface<SilentCase> {};

TEST_P(BootLoaderGoesSilent, UpgradeTimesOutAndTheDriverCanStartAgain) {
    Timing t = timing();
    t.bootLoaderReadLimit = std::chrono::milliseconds(2000);
    restart(t);
    driver->firmwareUpgradeProgress.connect([this](float p) { progress.add(p); });
    sim.command("die " + std::to_string(1 + GetParam().answers));
    EXPECT_EQ(driver->firmwareUpgrade(image, 0), ErrorCode::Timeout);

    // The command path is free again and the driver is stopped, not wedged.
    EXPECT_FALSE(driver->isRunning());
    EXPECT_EQ(driver->getStatus().error(), ErrorCode::Timeout);
    const auto values = progress.values();
    EXPECT_TRUE(values.empty() || values.back() < 100.0f);

    sim.command("reboot");
    ASSERT_FALSE(driver->start());
    EXPECT_TRUE(driver->getStatus());
    sim.clear();
    EXPECT_EQ(driver->firmwareUpgrade(image, 0), std::error_code(ErrorCode::Success));
    EXPECT_EQ(packetsSent(), hexPackets(image));
}

INSTANTIATE_TEST_SUITE_P(Points, BootLoaderGoesSilent,
                         ::testing::Values(SilentCase{"BinaryMode", 0}, SilentCase{"MidErase", 100},
                                           SilentCase{"EraseEnd", 245},
                                           SilentCase{"MidWrite", kAnswersBeforeRecords + 5},
                                           SilentCase{"CrcReport", kAnswersBeforeRecords + 41 + 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FirmwareUpgrade, PrinterAlreadyInItsBootLoaderIsUpgraded) {
    ASSERT_FALSE(driver->setOperationalMode(Programming));
    driver.reset();
    driver = std::make_unique<Driver>(sim.link(), timing());
    driver->firmwareUpgradeProgress.connect([this](float p) { progress.add(p); });
    sim.clear();

    EXPECT_EQ(driver->firmwareUpgrade(image, 0), std::error_code(ErrorCode::Success));
    EXPECT_TRUE(driver->isRunning());
    EXPECT_TRUE(driver->getStatus());
    for (const auto& frame : sim.frames())
        EXPECT_NE(frame.letter, '|');
    EXPECT_EQ(packetsSent(), hexPackets(image));
}

} // namespace
