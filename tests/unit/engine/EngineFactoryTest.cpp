#include "EngineTestSupport.h"

#include "dispensers/eltra/Driver.h"

#include <fcntl.h>
#include <stdlib.h>

namespace engine_test {
namespace {

using Clock = std::chrono::system_clock;

// The engine's own device detection, with the serial fallback and optionally the table replaced so
// the choice can be observed without real hardware.
class FactoryEngine : public Engine {
public:
    using Engine::driverFactory;
    using Engine::Engine;
    using Engine::FactoryEntry;
    using Engine::statusFunction;

    std::vector<FactoryEntry> realTable() const { return Engine::factoryTable(); }

    std::vector<FactoryEntry> factoryTable() const override {
        return table ? *table : Engine::factoryTable();
    }
    std::unique_ptr<Dispensers::Driver> serialDriver(const std::string& path) const override {
        serialPaths.push_back(path);
        return std::make_unique<FakeDriver>(device);
    }

    std::optional<std::vector<FactoryEntry>> table;
    std::shared_ptr<FakeDevice> device = std::make_shared<FakeDevice>();
    mutable std::vector<std::string> serialPaths;
};

class EngineFactoryTest : public EngineTest {
protected:
    Engine::Options factoryOptions() {
        Engine::Options opts;
        opts.commandRunner = runner;
        opts.applicationDirectory = appDir.string();
        opts.clock = [this] {
            std::lock_guard<std::mutex> lock(clockMutex);
            return now;
        };
        return opts;
    }
    FactoryEngine& makeFactoryEngine(const std::string& devicePath = "/dev/fakeDispenser") {
        factoryEngine = std::make_unique<FactoryEngine>(devicePath, configFile.string(), factoryOptions());
        return *factoryEngine;
    }
    void advance(std::chrono::seconds by) {
        std::lock_guard<std::mutex> lock(clockMutex);
        now += by;
    }
    void TearDown() override {
        factoryEngine.reset();
        EngineTest::TearDown();
    }

    std::mutex clockMutex;
    Clock::time_point now = Clock::time_point(std::chrono::hours(24 * 365 * 50));
    std::unique_ptr<FactoryEngine> factoryEngine;
};

TEST_F(EngineFactoryTest, AsksUdevToReplayTheDispenserWithoutAShell) {
    auto& e = makeFactoryEngine();
    e.driverFactory("/dev/null");
    const std::vector<std::string> expected{"udevadm",
                                            "trigger",
                                            "--action=add",
                                            "--subsystem-match=usb",
                                            "--attr-match=idVendor=1f36",
                                            "--attr-match=idProduct=0900"};
    ASSERT_EQ(runner->calls().size(), 1u);
    EXPECT_EQ(runner->calls()[0], expected);
}

TEST_F(EngineFactoryTest, MissingDeviceThrowsAndIsLoggedOncePerMinute) {
    const std::string missing = (dir.path() / "no-such-device").string();
    auto& e = makeFactoryEngine(missing);
    const std::string line = "[Engine] Could not open device '" + missing + "': No such file or directory";
    LogCapture log;

    for (int i = 0; i < 3; ++i) {
        try {
            e.driverFactory(missing);
            FAIL() << "no exception";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Could not open device");
        }
    }
    EXPECT_EQ(log.count(line), 1);
    EXPECT_EQ(runner->calls().size(), 3u) << "udev is asked at every attempt";

    advance(std::chrono::seconds(60));
    EXPECT_THROW(e.driverFactory(missing), std::runtime_error);
    EXPECT_EQ(log.count(line), 1) << "not before more than a minute has passed";
    advance(std::chrono::seconds(1));
    EXPECT_THROW(e.driverFactory(missing), std::runtime_error);
    EXPECT_EQ(log.count(line), 2);

    // Another engine keeps its own record.
    FactoryEngine other(missing, configFile.string(), factoryOptions());
    EXPECT_THROW(other.driverFactory(missing), std::runtime_error);
    EXPECT_EQ(log.count(line), 3);
}

TEST_F(EngineFactoryTest, MissingDeviceMakesThePollRetryQuietly) {
    const std::string missing = (dir.path() / "no-such-device").string();
    auto& e = makeFactoryEngine(missing);
    LogCapture log;
    for (int i = 0; i < 5; ++i) {
        e.statusFunction();
        advance(std::chrono::seconds(1));
    }
    EXPECT_EQ(log.count("Could not open device '" + missing + "'"), 1);
    EXPECT_EQ(log.count("[Engine] Initialize: no driver active"), 5);
    EXPECT_EQ(e.dispose(), make_error_code(ErrorCode::WrongDeviceConfiguration));
}

struct LinkCase {
    const char* name;
    std::function<std::string(const fs::path& dir)> target; // what the link holds
    std::function<void(const fs::path& dir)> prepare;       // what must exist for the link to resolve
    std::function<std::string(const fs::path& dir)> resolved;
};

class LinkResolutionTest : public EngineFactoryTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(LinkResolutionTest, OpensTheResolvedPathAndServesTheConfiguredOne) {
    const auto& param = GetParam();
    const auto link = dir.path() / "paperTicketDispenser";
    if (param.prepare)
        param.prepare(dir.path());
    fs::create_symlink(param.target(dir.path()), link);
    auto& e = makeFactoryEngine(link.string());
    LogCapture log;
    auto driver = e.driverFactory(link.string());
    EXPECT_TRUE(
        log.contains("[Engine] Opening device " + link.string() + " -> " + param.resolved(dir.path())))
        << log.text();
    EXPECT_NE(driver, nullptr);
    EXPECT_EQ(e.serialPaths, std::vector<std::string>{link.string()});
}

const std::string kLongDev = std::string(120, 'd') + "/" + std::string(120, 'e') + "/dev";

INSTANTIATE_TEST_SUITE_P(
    Links, LinkResolutionTest,
    ::testing::Values(
        LinkCase{"AbsoluteUnderDev", [](const fs::path&) { return std::string("/dev/null"); }, nullptr,
                 [](const fs::path&) { return std::string("/dev/null"); }},
        // udev links are relative to /dev: the target is looked up there.
        LinkCase{"RelativeIsTakenFromDev", [](const fs::path&) { return std::string("null"); },
                 [](const fs::path& d) { writeText(d / "null", ""); },
                 [](const fs::path&) { return std::string("/dev/null"); }},
        LinkCase{"RelativeWithDevIsKept", [](const fs::path&) { return std::string("sub/dev/tty0"); },
                 [](const fs::path& d) { writeText(d / "sub" / "dev" / "tty0", ""); },
                 [](const fs::path&) { return std::string("sub/dev/tty0"); }},
        LinkCase{"LongerThan255Bytes",
                 [](const fs::path& d) { return (d / kLongDev / std::string(60, 'x')).string(); },
                 [](const fs::path& d) { writeText(d / kLongDev / std::string(60, 'x'), ""); },
                 [](const fs::path& d) { return (d / kLongDev / std::string(60, 'x')).string(); }},
        LinkCase{"AbsoluteOutsideDevIsKept", [](const fs::path& d) { return (d / "port").string(); },
                 [](const fs::path& d) { writeText(d / "port", ""); },
                 [](const fs::path& d) { return (d / "port").string(); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineFactoryTest, LongLinkTargetIsReadWhole) {
    const auto target = (dir.path() / kLongDev / std::string(60, 'x')).string();
    ASSERT_GT(target.size(), 255u);
    writeText(target, "");
    const auto link = dir.path() / "l";
    fs::create_symlink(target, link);
    EXPECT_EQ(zelmo::Corvane::Helpers::readSymlink(link.string()), target);
}

TEST_F(EngineFactoryTest, PlainPathIsUsedAsItIs) {
    auto& e = makeFactoryEngine("/dev/null");
    LogCapture log;
    EXPECT_NE(e.driverFactory("/dev/null"), nullptr);
    EXPECT_TRUE(log.contains("[Engine] Running factory on '/dev/null'"));
    EXPECT_TRUE(log.contains("[Engine] Opening device /dev/null -> /dev/null"));
    EXPECT_EQ(e.serialPaths, std::vector<std::string>{"/dev/null"});
}

TEST_F(EngineFactoryTest, UnresolvableLinkGivesNoDriver) {
    // The link works from its own folder, but its target does not exist under /dev.
    writeText(dir.path() / "corvane-missing-node", "");
    const auto link = dir.path() / "paperTicketDispenser";
    fs::create_symlink("corvane-missing-node", link);
    auto& e = makeFactoryEngine(link.string());
    LogCapture log;
    EXPECT_EQ(e.driverFactory(link.string()), nullptr);
    EXPECT_TRUE(log.contains("[Engine] stat(/dev/corvane-missing-node) failed: No such file or directory"));
    EXPECT_TRUE(e.serialPaths.empty());
}

TEST_F(EngineFactoryTest, PseudoTerminalIsServedAsTheSerialPrinter) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string slave = ::ptsname(master);
    const auto link = dir.path() / "printer";
    fs::create_symlink(slave, link);

    auto& e = makeFactoryEngine(link.string());
    LogCapture log;
    auto driver = e.driverFactory(link.string());
    ::close(master);

    EXPECT_NE(driver, nullptr);
    EXPECT_EQ(e.serialPaths, std::vector<std::string>{link.string()}) << "the configured path, not the pty";
    EXPECT_TRUE(log.contains("[Engine] udev_device_new_from_devnum() failed: ")) << log.text();
}

TEST_F(EngineFactoryTest, TableEntryMatchingTheDeviceBuildsItsDriverForTheResolvedPath) {
    if (!fs::exists("/sys/dev/char/1:3/dev"))
        GTEST_SKIP() << "no sysfs entry for /dev/null here";
    const auto link = dir.path() / "nullLink";
    fs::create_symlink("/dev/null", link);
    auto& e = makeFactoryEngine(link.string());
    std::vector<std::string> built;
    auto make = [&](const std::string& tag) {
        return [&built, tag, this](const std::string& path) -> std::unique_ptr<Dispensers::Driver> {
            built.push_back(tag + ":" + path);
            return std::make_unique<FakeDriver>(device);
        };
    };
    e.table = std::vector<FactoryEngine::FactoryEntry>{
        {{{"dev", "1:3"}, {"idVendor", "1f36"}}, make("partial")},
        {{{"dev", "9:9"}}, make("wrong")},
        {{{"dev", "1:3"}}, make("null")},
        {{{"dev", "1:3"}}, make("second")},
    };
    EXPECT_NE(e.driverFactory(link.string()), nullptr);
    EXPECT_EQ(built, std::vector<std::string>{"null:/dev/null"});
    EXPECT_TRUE(e.serialPaths.empty());
}

TEST_F(EngineFactoryTest, DeviceMatchingNoEntryIsTheSerialPrinter) {
    auto& e = makeFactoryEngine("/dev/null");
    e.table = std::vector<FactoryEngine::FactoryEntry>{{{{"dev", "9:9"}}, [](const std::string&) {
                                                            ADD_FAILURE() << "wrong entry";
                                                            return std::unique_ptr<Dispensers::Driver>();
                                                        }}};
    EXPECT_NE(e.driverFactory("/dev/null"), nullptr);
    EXPECT_EQ(e.serialPaths, std::vector<std::string>{"/dev/null"});
}

TEST_F(EngineFactoryTest, TableKnowsTheDdmDispenser) {
    auto& e = makeFactoryEngine();
    const auto table = e.realTable();
    ASSERT_EQ(table.size(), 1u);
    const std::map<std::string, std::string> identity{{"idProduct", "0900"}, {"idVendor", "1f36"}};
    EXPECT_EQ(table[0].attributes, identity);
}

TEST_F(EngineFactoryTest, SerialFallbackIsTheEltraPrinter) {
    TestEngine e("/dev/null", configFile.string(), factoryOptions());
    auto driver = e.driverFactory("/dev/null");
    ASSERT_NE(driver, nullptr);
    EXPECT_NE(dynamic_cast<Dispensers::EltraSistemi::ELG150191::Driver*>(driver.get()), nullptr);
    EXPECT_EQ(*driver->getModel(), "ELG150191");
}

} // namespace
} // namespace engine_test
