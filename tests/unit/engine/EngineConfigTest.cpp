#include "EngineTestSupport.h"

#include <future>

namespace engine_test {
namespace {

const json kMqtt = {{"base", "zelmo/tvm/paperticket/dispenser"}, {"url", "tcp://127.0.0.1:1883"}};

class EngineConfigTest : public EngineTest {
protected:
    // Registers an "mqtt" section the way the MQTT service does.
    void registerMqtt(Engine& e) {
        e.addGetConfigCallback("mqtt", [this] { return mqttSection; });
        e.addSetConfigCallback("mqtt", [this](json section) {
            mqttReceived.push_back(section);
            mqttSection.update(section);
        });
    }

    json mqttSection = kMqtt;
    std::vector<json> mqttReceived;
};

TEST_F(EngineConfigTest, MissingFileIsCreatedWithDefaults) {
    auto& e = makeEngine();
    registerMqtt(e);
    LogCapture log;
    EXPECT_EQ(e.activate().value(), 0);
    EXPECT_TRUE(log.contains("[Engine] Could not read config file: '" + configFile.string() + "'."));
    EXPECT_TRUE(log.contains("[Engine] Saving updated config file"));
    const json expected = {{"logDebug", false}, {"mqtt", kMqtt}, {"statusPeriod", 1000}};
    EXPECT_EQ(readText(configFile), expected.dump(4)) << "indent 4, key order, no trailing newline";
    EXPECT_TRUE(mqttReceived.empty()) << "defaults are not handed to the sections";
}

TEST_F(EngineConfigTest, FileWithOnlyTheStatusPeriodIsCompletedAndUsed) {
    writeText(configFile, R"({"statusPeriod": 500})");
    auto& e = makeEngine();
    registerMqtt(e);
    ASSERT_EQ(e.activate().value(), 0);
    const json expected = {{"logDebug", false}, {"mqtt", kMqtt}, {"statusPeriod", 500}};
    EXPECT_EQ(configOnDisk(), expected);
    e.start();
    EXPECT_EQ(e.statusTimer().interval(), 500);
}

TEST_F(EngineConfigTest, UnknownMembersAreKept) {
    writeText(configFile, R"({"custom": {"a": 1, "list": [1, 2]}, "statusPeriod": 40})");
    auto& e = makeEngine();
    registerMqtt(e);
    ASSERT_EQ(e.activate().value(), 0);
    EXPECT_EQ(configOnDisk()["custom"], json({{"a", 1}, {"list", {1, 2}}}));
    ASSERT_EQ(e.setConfig({{"statusPeriod", 60}}).value(), 0);
    const auto doc = configOnDisk();
    EXPECT_EQ(doc["custom"], json({{"a", 1}, {"list", {1, 2}}}));
    EXPECT_EQ(doc["statusPeriod"], 60);
}

class BrokenFileTest : public EngineConfigTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(BrokenFileTest, IsReportedAndReplacedByDefaults) {
    writeText(configFile, GetParam());
    auto& e = makeEngine();
    registerMqtt(e);
    LogCapture log;
    ASSERT_EQ(e.activate().value(), 0);
    EXPECT_TRUE(log.contains("[Engine] Config file '" + configFile.string() + "' is empty.")) << log.text();
    EXPECT_EQ(configOnDisk(), json({{"logDebug", false}, {"mqtt", kMqtt}, {"statusPeriod", 1000}}));
}

INSTANTIATE_TEST_SUITE_P(Contents, BrokenFileTest, ::testing::Values("abc", "", "{\"statusPeriod\": "));

TEST_F(EngineConfigTest, SectionsReceiveOnlyTheirOwnMember) {
    writeText(configFile, R"({"mqtt": {"url": "tcp://10.0.0.1:1883"}, "statusPeriod": 40})");
    auto& e = makeEngine();
    registerMqtt(e);
    ASSERT_EQ(e.activate().value(), 0);
    ASSERT_EQ(mqttReceived.size(), 1u);
    EXPECT_EQ(mqttReceived[0]["url"], "tcp://10.0.0.1:1883");

    ASSERT_EQ(e.setConfig({{"statusPeriod", 50}}).value(), 0);
    EXPECT_EQ(mqttReceived.size(), 1u) << "a document without \"mqtt\" leaves the section alone";
    EXPECT_EQ(configOnDisk()["mqtt"]["url"], "tcp://10.0.0.1:1883");
}

TEST_F(EngineConfigTest, SecondRegistrationUnderANameIsIgnored) {
    auto& e = makeEngine();
    registerMqtt(e);
    e.addGetConfigCallback("mqtt", [] { return json("replacement"); });
    e.addSetConfigCallback("mqtt", [](json) { FAIL() << "second consumer called"; });
    ASSERT_EQ(e.activate().value(), 0);
    e.setConfig({{"mqtt", {{"url", "x"}}}});
    EXPECT_EQ(e.getConfig()["mqtt"]["url"], "x");
}

TEST_F(EngineConfigTest, LogDebugOnlyRaisesTheLevel) {
    auto& e = makeEngine();
    ASSERT_EQ(e.activate().value(), 0);
    Log::setLevel(Log::Info);
    ASSERT_EQ(e.setConfig({{"logDebug", true}}).value(), 0);
    EXPECT_EQ(Log::level(), Log::Debug);
    ASSERT_EQ(e.setConfig({{"logDebug", false}}).value(), 0);
    EXPECT_EQ(Log::level(), Log::Debug);
    EXPECT_EQ(configOnDisk()["logDebug"], false);
}

TEST_F(EngineConfigTest, DeviceSectionOfTheFileReachesTheDriverAtInitialisation) {
    writeText(configFile, R"({"device": {"speed": 3, "mode": "fast"}, "statusPeriod": 40})");
    auto& e = makeEngine();
    registerMqtt(e);
    ASSERT_EQ(e.activate().value(), 0);
    EXPECT_EQ(configOnDisk()["device"], json({{"mode", "fast"}, {"speed", 3}}))
        << "kept while no driver exists";

    ASSERT_TRUE(pollUntilDriver());
    const auto sections = device->read(device->receivedSections);
    ASSERT_FALSE(sections.empty());
    EXPECT_EQ(sections.front(), json({{"mode", "fast"}, {"speed", 3}}));
    EXPECT_EQ(configOnDisk()["device"], json({{"mode", "fast"}, {"speed", 3}}));
    EXPECT_EQ(e.getConfig()["device"], device->read(device->config));
}

TEST_F(EngineConfigTest, DeviceMemberGoesOnlyToTheDriver) {
    auto& e = makeEngine();
    registerMqtt(e);
    ASSERT_EQ(e.activate().value(), 0);
    ASSERT_TRUE(pollUntilDriver());
    const auto before = device->read(device->receivedSections).size();
    const auto mqttBefore = mqttReceived.size();

    ASSERT_EQ(e.setConfig({{"statusPeriod", 70}}).value(), 0);
    EXPECT_EQ(device->read(device->receivedSections).size(), before) << "no \"device\": driver untouched";

    ASSERT_EQ(e.setConfig({{"device", {{"speed", 9}}}}).value(), 0);
    const auto sections = device->read(device->receivedSections);
    ASSERT_EQ(sections.size(), before + 1);
    EXPECT_EQ(sections.back(), json({{"speed", 9}}));
    EXPECT_EQ(configOnDisk()["device"], json({{"speed", 9}}));
    EXPECT_EQ(mqttReceived.size(), mqttBefore);
}

TEST_F(EngineConfigTest, RejectedDeviceSectionWritesNothing) {
    auto& e = makeEngine();
    registerMqtt(e);
    ASSERT_EQ(e.activate().value(), 0);
    ASSERT_TRUE(pollUntilDriver());
    const std::string before = readText(configFile);
    const auto mqttBefore = mqttReceived.size();
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        device->setConfigResult = make_error_code(ErrorCode::ValueOutOfRange);
    }
    const json change = {{"device", {{"speed", 99}}}, {"mqtt", {{"url", "y"}}}, {"statusPeriod", 777}};
    EXPECT_EQ(e.setConfig(change), make_error_code(ErrorCode::ValueOutOfRange));
    EXPECT_EQ(readText(configFile), before);
    EXPECT_EQ(mqttReceived.size(), mqttBefore) << "the other sections are not called";
}

TEST_F(EngineConfigTest, SetConfigAnswersSuccessOfTheDaemonCategory) {
    auto& e = makeEngine();
    const auto ec = e.setConfig({{"statusPeriod", 80}});
    EXPECT_EQ(ec, make_error_code(ErrorCode::Success));
    EXPECT_EQ(configOnDisk()["statusPeriod"], 80);
}

TEST_F(EngineConfigTest, UnwritableFileIsReportedAndTheSettingsStay) {
    configFile = dir.path() / "missing-dir" / "corvane.json";
    auto& e = makeEngine();
    LogCapture log;
    EXPECT_EQ(e.activate().value(), 0);
    EXPECT_TRUE(log.contains("[Engine] Could not write config file: '" + configFile.string() + "'."));
    EXPECT_EQ(e.setConfig({{"statusPeriod", 90}}), make_error_code(ErrorCode::Success));
    EXPECT_EQ(e.getConfig()["statusPeriod"], 90);
}

TEST_F(EngineConfigTest, RewriteLeavesNoTemporaryFileBehind) {
    writeText(configFile, R"({"statusPeriod": 40})");
    auto& e = makeEngine();
    ASSERT_EQ(e.activate().value(), 0);
    ASSERT_EQ(e.setConfig({{"statusPeriod", 41}}).value(), 0);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"app", "corvane.json"}));
}

// A configuration pass (read the file, merge, hand out, write) and a client's change do not
// interleave: the pass could otherwise write the old values back over the change.
TEST_F(EngineConfigTest, ChangeWaitsForARunningConfigurationPass) {
    writeText(configFile, json{{"statusPeriod", 500}, {"probe", {{"x", 1}}}}.dump());
    auto& e = makeEngine();
    Gate probeGate;
    e.addSetConfigCallback("probe", [&](json) { probeGate.pass(); });
    probeGate.close();
    auto pass = std::async(std::launch::async, [&] { return e.applyConfig(); });
    ASSERT_TRUE(waitUntil([&] { return probeGate.entered() == 1; }));

    auto change = std::async(std::launch::async, [&] { return e.setConfig(json{{"statusPeriod", 250}}); });
    EXPECT_EQ(change.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout)
        << "the change ran inside the pass";
    probeGate.open();
    EXPECT_FALSE(pass.get());
    EXPECT_EQ(change.get().value(), 0);
    EXPECT_EQ(configOnDisk()["statusPeriod"], 250);
    EXPECT_EQ(e.getConfig()["statusPeriod"], 250);
}

TEST_F(EngineConfigTest, StoreConfigChangesOnlyTheApplicationSection) {
    auto& e = makeEngine();
    registerMqtt(e);
    e.storeConfig({{"statusPeriod", 123}, {"mqtt", {{"url", "z"}}}});
    EXPECT_EQ(e.getConfig()["statusPeriod"], 123);
    EXPECT_TRUE(mqttReceived.empty());
    EXPECT_FALSE(fs::exists(configFile));
}

} // namespace
} // namespace engine_test
