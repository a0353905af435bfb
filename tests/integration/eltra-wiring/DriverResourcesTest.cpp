#include "SimulatedPrinter.h"

#include "ErrorCode.h"
#include "dispensers/eltra/Resources.h"

#include <gmock/gmock.h>

#include <chrono>
#include <future>

using namespace corvane::test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using zelmo::Corvane::ErrorCode;
using zelmo::Corvane::Dispensers::EltraSistemi::Resources;

namespace {

std::string hexOf(const std::vector<unsigned char>& bytes) {
    std::string hex;
    for (const unsigned char byte : bytes) {
        char text[4];
        std::snprintf(text, sizeof(text), "%02x", byte);
        hex += text;
    }
    return hex;
}

class ResourceUpload : public SimulatedPrinter {
protected:
    void SetUp() override {
        SimulatedPrinter::SetUp();
        driver->resourceLoadProgress.connect([this](float p) { progress.add(p); });
    }

    // A pack without logos and with fonts of the given sizes, ids 1, 2, ...
    void makePack(const std::vector<std::size_t>& sizes) {
        const auto folder = dir.path() / "pack";
        std::filesystem::create_directories(folder);
        std::string setup = "G\n0,0,0\n0,0,0\n0,0,0\nF\n";
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            const std::string name = "font" + std::to_string(i + 1) + ".fnt";
            std::string data(sizes[i], '\0');
            for (std::size_t k = 0; k < data.size(); ++k)
                data[k] = static_cast<char>((k * 31 + i) & 0xFF);
            writeFile(folder / name, data);
            setup += std::to_string(i + 1) + "," + name + ",0\n";
        }
        writeFile(folder / "setup.dat", setup);
        ASSERT_TRUE(pack.open((folder / "setup.dat").string()));
        ASSERT_EQ(pack.fonts().size(), sizes.size());
    }

    Resources pack;
    Emissions progress;
};

TEST_F(ResourceUpload, TwoFontsGoUpInElevenSteps) {
    makePack({1000, 300});
    sim.clear();
    EXPECT_EQ(driver->loadResources(pack), std::error_code(ErrorCode::Success));

    const auto values = progress.values();
    ASSERT_EQ(values.size(), 11u);
    for (std::size_t k = 0; k < values.size(); ++k)
        EXPECT_NEAR(values[k], static_cast<float>(k) * 100.0f / 11.0f, 1e-4) << k;
    EXPECT_THAT(pauses.taken(), ElementsAre(1000, 1000, 10000));
    EXPECT_TRUE(driver->isRunning());
    EXPECT_TRUE(driver->getStatus());

    // Layout, then per font: command, raw block (length prefix included).
    const auto frames = sim.frames();
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[0].letter, 'A');
    EXPECT_EQ(frames[0].data, pack.logoMemoryMap());
    EXPECT_EQ(frames[1].letter, 'F');
    EXPECT_EQ(frames[1].data, pack.fonts()[0].command);
    EXPECT_EQ(frames[2].letter, 'F');
    EXPECT_EQ(frames[2].data, pack.fonts()[1].command);
    EXPECT_EQ(records("font "), (std::vector<std::string>{"font " + hexOf(pack.fonts()[0].data),
                                                          "font " + hexOf(pack.fonts()[1].data)}));
}

TEST_F(ResourceUpload, PackWithoutFontsStillSendsTheLayoutAndWaits) {
    makePack({});
    EXPECT_EQ(driver->loadResources(pack), std::error_code(ErrorCode::Success));
    const auto values = progress.values();
    ASSERT_EQ(values.size(), 3u);
    EXPECT_NEAR(values[1], 100.0f / 3.0f, 1e-4);
    EXPECT_THAT(pauses.taken(), ElementsAre(1000, 1000, 10000));
    ASSERT_EQ(sim.frames().size(), 1u);
    EXPECT_EQ(sim.frames()[0].data, "000000000000000000000000000000");
}

TEST_F(ResourceUpload, MissingFinalAcknowledgeTimesOut) {
    makePack({500, 200});
    Timing t = timing();
    t.fontAckLimit = std::chrono::milliseconds(2000);
    restart(t);
    sim.command("fontack none");
    captureLog();
    EXPECT_EQ(driver->loadResources(pack), ErrorCode::Timeout);
    EXPECT_THAT(capturedLog(), HasSubstr("No final ACK"));
    EXPECT_EQ(records("font ").size(), 1u);
    EXPECT_TRUE(driver->isRunning());
    EXPECT_TRUE(driver->getStatus());
}

// The printer refused the font data: the pack is not installed, and the fonts after it are not sent.
TEST_F(ResourceUpload, WrongFinalAcknowledgeFailsTheUpload) {
    makePack({64, 80});
    sim.command("fontack 15");
    captureLog();
    EXPECT_EQ(driver->loadResources(pack), ErrorCode::ModuleFailedToAcknowledge);
    EXPECT_THAT(capturedLog(), HasSubstr("Error uploading font"));
    EXPECT_EQ(records("font ").size(), 1u);
    EXPECT_TRUE(driver->isRunning());
    EXPECT_TRUE(driver->getStatus());
}

// A printer that stops taking data mid-font must not hold the daemon in a write for ever.
TEST_F(ResourceUpload, StalledLineEndsTheFontWriteWithTimeout) {
    makePack({1 << 20}); // far more than the line buffers hold
    Timing t = timing();
    t.lineBytesPerSecond = 1 << 30; // the limit is the margin alone
    t.fontWriteMargin = std::chrono::milliseconds(1000);
    restart(t);
    sim.command("fontstall on");
    captureLog();
    auto upload = std::async(std::launch::async, [this] { return driver->loadResources(pack); });
    const bool ended = upload.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    if (!ended)
        sim.command("fontstall off"); // lets a blocked write finish so the test can end
    EXPECT_TRUE(ended) << "the upload hangs on a stalled line";
    EXPECT_EQ(upload.get(), ErrorCode::Timeout);
    EXPECT_THAT(capturedLog(), HasSubstr("Incomplete write (expected=1048580"));
    EXPECT_TRUE(driver->isRunning());
}

TEST_F(ResourceUpload, RefusedLayoutEndsTheUpload) {
    makePack({64});
    sim.command("nak 15");
    captureLog();
    EXPECT_EQ(driver->loadResources(pack), ErrorCode::ModuleFailedToAcknowledge);
    EXPECT_THAT(capturedLog(), HasSubstr("Did not receive ACK"));
    EXPECT_TRUE(records("font ").empty());
    EXPECT_TRUE(driver->isRunning());
}

TEST_F(ResourceUpload, MissingFontReplyTimesOut) {
    makePack({64});
    // The font's reply never becomes ready: the link's polls run out.
    sim.command("dles -1");
    captureLog();
    EXPECT_EQ(driver->loadResources(pack), ErrorCode::Timeout);
    EXPECT_THAT(capturedLog(), HasSubstr("Did not receive response"));
    EXPECT_EQ(records("font ").size(), 1u);
    EXPECT_TRUE(driver->isRunning());
}

TEST_F(ResourceUpload, StatusQueryAnswersTimeoutDuringTheUpload) {
    makePack({64});
    std::vector<std::error_code> seen;
    driver.reset();
    Timing t = timing();
    t.sleep = [&](std::chrono::milliseconds) {
        const auto status = driver->getStatus();
        seen.push_back(status ? std::error_code() : status.error());
    };
    driver = std::make_unique<Driver>(sim.link(), t);
    ASSERT_FALSE(driver->start());
    EXPECT_FALSE(driver->loadResources(pack));
    EXPECT_THAT(seen, ElementsAre(ErrorCode::Timeout, ErrorCode::Timeout, ErrorCode::Timeout));
    EXPECT_TRUE(driver->getStatus());
}

TEST_F(ResourceUpload, StoppedDriverStaysStopped) {
    makePack({64});
    driver->stop();
    EXPECT_EQ(driver->loadResources(pack), ErrorCode::ModuleFailedToAcknowledge);
    EXPECT_FALSE(driver->isRunning());
    ASSERT_FALSE(driver->start());
    EXPECT_TRUE(driver->getStatus());
}

} // namespace
