#include "EngineTestSupport.h"

#include <algorithm>
#include <future>

namespace engine_test {
namespace {

const std::string kSetup = "A\n0,0,0\n0,0,0\n0,0,0\nF\n";

class EngineFoldersTest : public EngineTest {
protected:
    fs::path firmwares() const { return appDir / "firmwares"; }
    fs::path acceptedFirmwares() const { return appDir / "firmwares" / "accepted"; }
    fs::path resources() const { return appDir / "resources"; }
    fs::path acceptedResources() const { return appDir / "resources" / "accepted"; }

    void setModel(const std::string& model) {
        std::lock_guard<std::mutex> lock(device->mutex);
        device->model = model;
    }
    std::vector<std::string> flashed() { return device->read(device->firmwarePaths); }
};

TEST_F(EngineFoldersTest, FirstInitialisationCreatesTheFolders) {
    auto& e = makeEngine();
    LogCapture log;
    e.statusFunction();
    EXPECT_TRUE(fs::is_directory(acceptedFirmwares()));
    EXPECT_TRUE(fs::is_directory(acceptedResources()));
    EXPECT_TRUE(log.contains("[Engine] Detected app path " + appDir.string()));
    EXPECT_TRUE(log.contains("[Engine] No firmware files found"));
    EXPECT_TRUE(
        log.contains("[Engine] Looking for resource files 'setup.dat' in '" + resources().string() + "'"));
    EXPECT_EQ(device->live, 1);
}

TEST_F(EngineFoldersTest, PrinterTakesTheFirstS19ImageNotYetAcceptedAndRestarts) {
    setModel("ELG150191");
    writeText(firmwares() / "a.s19", "S0");
    writeText(firmwares() / "b.s19", "S0");
    writeText(firmwares() / "c.bin", "bin");
    writeText(acceptedFirmwares() / "a.s19", "S0");
    auto& e = makeEngine();
    std::vector<float> progress;
    e.firmwareUpgradeProgress.connect([&](float percent) { progress.push_back(percent); });
    LogCapture log;

    e.statusFunction();
    EXPECT_EQ(flashed(), (std::vector<std::string>{(firmwares() / "b.s19").string()}));
    EXPECT_TRUE(fs::exists(acceptedFirmwares() / "b.s19"));
    EXPECT_FALSE(fs::exists(firmwares() / "b.s19"));
    EXPECT_TRUE(fs::exists(firmwares() / "a.s19")) << "an installed image is left where it is";
    EXPECT_TRUE(fs::exists(firmwares() / "c.bin"));
    EXPECT_TRUE(
        log.contains("[Engine] Looking for firmware files '*.s19' in '" + firmwares().string() + "'"));
    EXPECT_TRUE(log.contains("[Engine] Moved 'b.s19' to '" + acceptedFirmwares().string() + "'"));
    EXPECT_TRUE(log.contains("[Engine] Restarting driver after firmware upgrade"));
    if (log.contains(" - Checking " + (firmwares() / "a.s19").string())) {
        EXPECT_TRUE(log.contains("[Engine]  - Already installed"));
    }
    EXPECT_EQ(progress, (std::vector<float>{50.0f, 100.0f}));
    EXPECT_EQ(device->stops, 1);
    EXPECT_EQ(device->live, 0) << "the driver is dropped after the upgrade";
    EXPECT_EQ(device->launches, 0);

    // The next poll builds a fresh driver; the automatic step does not run again.
    e.statusFunction();
    EXPECT_EQ(device->live, 1);
    EXPECT_EQ(device->launches, 1);
    EXPECT_EQ(flashed().size(), 1u);
    EXPECT_EQ(device->resourceUploads, 0);
}

TEST_F(EngineFoldersTest, OtherModelsTakeBinImages) {
    setModel("900 Parking Ticket Dispenser");
    writeText(firmwares() / "a.s19", "S0");
    writeText(firmwares() / "fw.bin", "bin");
    auto& e = makeEngine();
    e.statusFunction();
    EXPECT_EQ(flashed(), (std::vector<std::string>{(firmwares() / "fw.bin").string()}));
    EXPECT_TRUE(fs::exists(firmwares() / "a.s19"));
    EXPECT_TRUE(fs::exists(acceptedFirmwares() / "fw.bin"));
}

TEST_F(EngineFoldersTest, PatternIsCaseSensitive) {
    setModel("ELG150191");
    writeText(firmwares() / "A.S19", "S0");
    auto& e = makeEngine();
    e.statusFunction();
    EXPECT_TRUE(flashed().empty());
    EXPECT_EQ(device->live, 1);
}

TEST_F(EngineFoldersTest, FailedImageIsStillAcceptedAndTheDriverStays) {
    setModel("ELG150191");
    writeText(firmwares() / "bad.s19", "S0");
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        device->firmwareResult = make_error_code(ErrorCode::MalformedResponse);
    }
    auto& e = makeEngine();
    e.statusFunction();
    EXPECT_EQ(flashed().size(), 1u);
    EXPECT_TRUE(fs::exists(acceptedFirmwares() / "bad.s19"));
    EXPECT_EQ(device->live, 1) << "only a successful upgrade restarts the driver";
    EXPECT_EQ(device->launches, 1);
}

TEST_F(EngineFoldersTest, ResourcePackWithoutSetupStays) {
    fs::create_directories(resources() / "pack1");
    auto& e = makeEngine();
    LogCapture log;
    e.statusFunction();
    EXPECT_TRUE(log.contains("[Engine]  - Checking '" + (resources() / "pack1").string() + "'"));
    EXPECT_TRUE(log.contains("[Engine]  - Did not find 'setup.dat'"));
    EXPECT_TRUE(fs::is_directory(resources() / "pack1"));
    EXPECT_EQ(device->resourceUploads, 0);
}

TEST_F(EngineFoldersTest, ResourcePacksAreUploadedAndAccepted) {
    writeText(resources() / "fonts" / "setup.dat", kSetup);
    writeText(resources() / "broken" / "setup.dat", "");
    writeText(resources() / "old" / "setup.dat", kSetup);
    fs::create_directories(acceptedResources() / "old");
    auto& e = makeEngine();
    LogCapture log;
    e.statusFunction();
    EXPECT_EQ(device->resourceUploads, 1);
    EXPECT_TRUE(fs::exists(acceptedResources() / "fonts" / "setup.dat"));
    EXPECT_FALSE(fs::exists(resources() / "fonts"));
    EXPECT_TRUE(log.contains("[Engine] Moved '" + (resources() / "fonts").string() + "' to '" +
                             acceptedResources().string() + "'"));
    EXPECT_TRUE(
        log.contains("[Engine]  - Could not parse '" + (resources() / "broken" / "setup.dat").string()));
    EXPECT_TRUE(fs::exists(resources() / "broken"));
    EXPECT_TRUE(log.contains("[Engine]  - Already installed"));
    EXPECT_TRUE(fs::exists(resources() / "old"));
    EXPECT_FALSE(log.contains("Checking '" + acceptedResources().string() + "'"));
    EXPECT_GE(device->starts, 2) << "the driver is started again before an upload";
}

TEST_F(EngineFoldersTest, FailedUploadLeavesThePack) {
    writeText(resources() / "fonts" / "setup.dat", kSetup);
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        device->resourceResult = make_error_code(ErrorCode::FontNotPresent);
    }
    auto& e = makeEngine();
    LogCapture log;
    e.statusFunction();
    EXPECT_TRUE(log.contains("[Engine]  - Could not upload resources: ")) << log.text();
    EXPECT_TRUE(fs::exists(resources() / "fonts" / "setup.dat"));
    EXPECT_EQ(device->live, 1);
}

TEST_F(EngineFoldersTest, UnusableApplicationFolderIsReportedAndInitialisationGoesOn) {
    writeText(appDir / "firmwares", "a file where the folder belongs");
    writeText(appDir / "resources", "same");
    auto& e = makeEngine();
    LogCapture log;
    e.statusFunction();
    EXPECT_TRUE(log.contains("[Engine] Could not create firmware sub-directories: "));
    EXPECT_TRUE(log.contains("[Engine] Could not create resource sub-directories: "));
    EXPECT_EQ(device->live, 1);
    EXPECT_EQ(device->launches, 1);
}

TEST_F(EngineFoldersTest, WorkersWithoutDriverFinishWithWrongDeviceConfiguration) {
    writeText(dir.path() / "pack" / "setup.dat", kSetup);
    auto& e = makeEngine();
    std::promise<std::error_code> firmware;
    std::promise<std::error_code> resources;
    e.firmwareUpgradeFinished.connect([&](std::error_code ec) { firmware.set_value(ec); });
    e.resourceLoadFinished.connect([&](std::error_code ec) { resources.set_value(ec); });

    EXPECT_EQ(e.firmwareUpgrade("/nowhere/fw.s19", 0x1234), make_error_code(ErrorCode::Success));
    EXPECT_EQ(e.loadResources((dir.path() / "pack").string()), make_error_code(ErrorCode::Success));
    auto firmwareResult = firmware.get_future();
    auto resourcesResult = resources.get_future();
    ASSERT_EQ(firmwareResult.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ASSERT_EQ(resourcesResult.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(firmwareResult.get(), make_error_code(ErrorCode::WrongDeviceConfiguration));
    EXPECT_EQ(resourcesResult.get(), make_error_code(ErrorCode::WrongDeviceConfiguration));
}

TEST_F(EngineFoldersTest, LoadResourcesChecksTheFolderFirst) {
    auto& e = makeEngine();
    LogCapture log;
    EXPECT_EQ(e.loadResources((dir.path() / "none").string()), make_error_code(ErrorCode::MalformedRequest));
    EXPECT_TRUE(
        log.contains("[Engine] Attempting resource upload from '" + (dir.path() / "none").string() + "'"));
    EXPECT_TRUE(log.contains("[Engine] File not found"));

    writeText(dir.path() / "empty" / "setup.dat", "");
    EXPECT_EQ(e.loadResources((dir.path() / "empty").string()), make_error_code(ErrorCode::MalformedRequest));
    EXPECT_TRUE(
        log.contains("[Engine] Could not parse '" + (dir.path() / "empty" / "setup.dat").string() + "'"));
}

TEST_F(EngineFoldersTest, FirmwareUpgradeRunsBesideTheHeldPoll) {
    writeFastConfig();
    auto& e = makeEngine();
    ASSERT_FALSE(e.activate());
    e.start();
    ASSERT_TRUE(waitUntil([&] { return device->launches == 1; }));

    std::vector<float> progress;
    std::mutex progressMutex;
    e.firmwareUpgradeProgress.connect([&](float percent) {
        std::lock_guard<std::mutex> lock(progressMutex);
        progress.push_back(percent);
    });
    std::promise<std::error_code> finished;
    e.firmwareUpgradeFinished.connect([&](std::error_code ec) { finished.set_value(ec); });
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        device->firmwareResult = make_error_code(ErrorCode::Timeout);
    }
    device->firmwareGate.close();
    LogCapture log;
    EXPECT_EQ(e.firmwareUpgrade("/data/fw.s19", 0xBEEF), make_error_code(ErrorCode::Success));
    ASSERT_TRUE(waitUntil([&] { return device->firmwareGate.entered() == 1; }));
    EXPECT_TRUE(log.contains(
        "[Engine] Attempting firmware upgrade using '/data/fw.s19' (expectedCrc= 48879 [0xBEEF])"));
    EXPECT_TRUE(waitUntil([&] { return !e.statusTimer().running(); })) << "no polls during the upgrade";
    EXPECT_EQ(e.dispose().value(), 0) << "commands still run";

    device->firmwareGate.open();
    auto result = finished.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(result.get(), make_error_code(ErrorCode::Timeout));
    EXPECT_TRUE(waitUntil([&] { return e.statusTimer().running(); })) << "polling resumes";
    std::lock_guard<std::mutex> lock(progressMutex);
    EXPECT_EQ(progress, (std::vector<float>{50.0f, 100.0f}));
}

// A driver that throws mid-installation still ends the request: the client is told it failed.
TEST_F(EngineFoldersTest, InstallationThatThrowsStillReportsItsEnd) {
    writeText(dir.path() / "pack" / "setup.dat", kSetup);
    auto& e = makeEngine();
    ASSERT_TRUE(pollUntilDriver());
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        device->throwOnInstall = true;
    }
    std::promise<std::error_code> firmware;
    std::promise<std::error_code> resources;
    e.firmwareUpgradeFinished.connect([&](std::error_code ec) { firmware.set_value(ec); });
    e.resourceLoadFinished.connect([&](std::error_code ec) { resources.set_value(ec); });
    LogCapture log;
    ASSERT_FALSE(e.firmwareUpgrade("/data/fw.s19", 0));
    ASSERT_FALSE(e.loadResources((dir.path() / "pack").string()));
    for (auto* promise : {&firmware, &resources}) {
        auto result = promise->get_future();
        ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(result.get(), make_error_code(ErrorCode::UnknownError));
    }
    EXPECT_TRUE(log.contains("[Engine] Firmware upgrade failed: the fake port went away"));
    EXPECT_TRUE(log.contains("[Engine] Resource upload failed: the fake port went away"));
}

// The worker pauses the poll and waits out a tick in progress before it takes the driver: that
// tick may replace the driver, but no tick replaces it under the installation.
TEST_F(EngineFoldersTest, WorkerWaitsOutTheRunningTickBeforeTakingTheDriver) {
    writeFastConfig();
    auto& e = makeEngine();
    ASSERT_FALSE(e.activate());
    e.start();
    ASSERT_TRUE(waitUntil([&] { return device->launches == 1; }));
    std::promise<std::error_code> finished;
    e.firmwareUpgradeFinished.connect([&](std::error_code ec) { finished.set_value(ec); });

    // A tick is stuck in the status query, holding the command lock; the device has gone quiet, so
    // the tick will initialise a new driver.
    device->statusGate.close();
    device->firmwareGate.close();
    const int entered = device->statusGate.entered();
    ASSERT_TRUE(waitUntil([&] { return device->statusGate.entered() > entered; }));
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        device->statusError = true;
    }
    ASSERT_FALSE(e.firmwareUpgrade("/data/fw.s19", 0));
    EXPECT_FALSE(waitUntil([&] { return device->firmwareGate.entered() > 0; }, std::chrono::seconds(1)))
        << "the upgrade began beside a running tick";

    device->statusGate.open();
    ASSERT_TRUE(waitUntil([&] { return device->firmwareGate.entered() == 1; }));
    device->firmwareGate.open();
    auto result = finished.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(result.get());
    const auto events = device->eventLog();
    const auto begin = std::find(events.begin(), events.end(), "firmware-begin");
    const auto end = std::find(begin, events.end(), "firmware-end");
    ASSERT_NE(end, events.end());
    EXPECT_EQ(std::count(begin, end, "start"), 0) << "a driver was started during the upgrade";
}

TEST_F(EngineFoldersTest, ResourceWorkerReportsTheUpload) {
    writeText(dir.path() / "pack" / "setup.dat", kSetup);
    auto& e = makeEngine();
    ASSERT_TRUE(pollUntilDriver());
    std::atomic<int> progress{0};
    e.resourceLoadProgress.connect([&](float) { ++progress; });
    std::promise<std::error_code> finished;
    e.resourceLoadFinished.connect([&](std::error_code ec) { finished.set_value(ec); });
    EXPECT_EQ(e.loadResources((dir.path() / "pack").string()), make_error_code(ErrorCode::Success));
    auto result = finished.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(result.get().value(), 0);
    EXPECT_EQ(progress, 1);
    EXPECT_TRUE(fs::exists(dir.path() / "pack" / "setup.dat")) << "the folder is not moved";
}

TEST_F(EngineFoldersTest, StopAndDestructionDuringAnUpgradeAreSafe) {
    writeFastConfig();
    auto& e = makeEngine();
    ASSERT_FALSE(e.activate());
    e.start();
    ASSERT_TRUE(waitUntil([&] { return device->launches == 1; }));

    std::atomic<int> finished{0};
    e.firmwareUpgradeFinished.connect([&](std::error_code) { ++finished; });
    device->firmwareGate.close();
    e.firmwareUpgrade("/data/fw.s19", 0);
    ASSERT_TRUE(waitUntil([&] { return device->firmwareGate.entered() == 1; }));

    e.stop(); // does not wait for the worker
    EXPECT_EQ(device->stops, 1);

    auto destroying = std::async(std::launch::async, [&] { engine.reset(); });
    device->firmwareGate.open();
    destroying.get();
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(device->live, 0);
}

TEST_F(EngineFoldersTest, ReplacedDriverLivesUntilItsWorkerEnds) {
    auto& e = makeEngine();
    ASSERT_TRUE(pollUntilDriver());
    std::atomic<int> finished{0};
    e.firmwareUpgradeFinished.connect([&](std::error_code) { ++finished; });
    device->firmwareGate.close();
    e.firmwareUpgrade("/data/fw.s19", 0);
    ASSERT_TRUE(waitUntil([&] { return device->firmwareGate.entered() == 1; }));

    device->setStatus(Status()); // the device stops answering: the poll re-creates the driver
    e.statusFunction();
    EXPECT_EQ(device->created, 2);
    EXPECT_EQ(device->live, 2) << "the worker still holds the old driver";

    device->firmwareGate.open();
    EXPECT_TRUE(waitUntil([&] { return finished == 1 && device->live == 1; }));
}

} // namespace
} // namespace engine_test
