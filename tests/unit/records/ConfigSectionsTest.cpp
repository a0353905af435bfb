#include "RecordsTestSupport.h"

#include "Config.h"
#include "api/mqtt/Config.h"

#include <gtest/gtest.h>

using json = nlohmann::json;
using records_test::LogCapture;

namespace {

TEST(MqttConfig, FreshSectionSerialisesToTheDefaults) {
    const zelmo::Corvane::API::MQTT::Config config;
    EXPECT_EQ(config.toJson().dump(),
              R"({"base":"zelmo/tvm/paperticket/dispenser","password":"ambersnout","tollen":{"base":"",)"
              R"("reset":"psu/action/ticketDispenserReset/request/corvane-parked-state"},)"
              R"("url":"127.0.0.1:1883","username":"QuennetUser"})");
    EXPECT_EQ(config.url(), "127.0.0.1:1883");
    EXPECT_EQ(config.username(), "QuennetUser");
    EXPECT_EQ(config.password(), "ambersnout");
    EXPECT_EQ(config.base(), "zelmo/tvm/paperticket/dispenser");
    EXPECT_EQ(config.tollenBase(), "");
    EXPECT_EQ(config.tollenReset(), "psu/action/ticketDispenserReset/request/corvane-parked-state");
    for (const char* key : {"url", "username", "password", "base", "tollen/base", "tollen/reset"})
        EXPECT_EQ(config.get(key).type(), Variant::String) << key;
}

TEST(MqttConfig, PartialTollenUpdateChangesOnlyThatKey) {
    zelmo::Corvane::API::MQTT::Config config;
    std::vector<std::string> changed;
    config.changed.connect([&](const std::string& key) { changed.push_back(key); });
    config.updateFromJson(json::parse(R"({"tollen": {"base": "power"}})"));
    EXPECT_EQ(changed, std::vector<std::string>{"tollen/base"});
    EXPECT_EQ(config.tollenBase(), "power");
    EXPECT_EQ(config.tollenReset(), "psu/action/ticketDispenserReset/request/corvane-parked-state");
    EXPECT_EQ(config.url(), "127.0.0.1:1883");
}

TEST(MqttConfig, MissingKeyReadsAsEmptyText) {
    zelmo::Corvane::API::MQTT::Config config;
    config.erase("url");
    EXPECT_EQ(config.url(), "");
}

TEST(MqttConfig, LogsItsDefaultsWithItsPrefix) {
    LogCapture capture;
    const zelmo::Corvane::API::MQTT::Config config;
    EXPECT_EQ(capture.linesFrom("[MQTT::Config] "),
              std::vector<std::string>{"[MQTT::Config] Loading default configuration."});
}

TEST(ApplicationConfig, DefaultsAndTheirTags) {
    const zelmo::Corvane::Config config;
    EXPECT_EQ(config.get("statusPeriod"), Variant(1000));
    EXPECT_EQ(config.get("statusPeriod").type(), Variant::Int);
    EXPECT_EQ(config.get("logDebug"), Variant(false));
    EXPECT_EQ(config.statusPeriod(), 1000u);
    EXPECT_FALSE(config.logDebug());
    EXPECT_EQ(config.toJson(), json::parse(R"({"logDebug": false, "statusPeriod": 1000})"));
}

TEST(ApplicationConfig, SetterStoresAnUnsignedValue) {
    zelmo::Corvane::Config config;
    config.setStatusPeriod(500);
    EXPECT_EQ(config.get("statusPeriod"), Variant(500UL));
    EXPECT_EQ(config.statusPeriod(), 500u);
}

TEST(ApplicationConfig, AccessorsConvertWhateverTheFileHeld) {
    zelmo::Corvane::Config config;
    config.updateFromJson(json::parse(R"({"statusPeriod": "250", "logDebug": "yes"})"));
    EXPECT_EQ(config.statusPeriod(), 250u);
    EXPECT_TRUE(config.logDebug());
}

// A period the timer cannot use (0 would spin, a negative or huge one would stop the poll for good)
// falls back to the default one; the value stays in the document as it was given.
TEST(ApplicationConfig, StatusPeriodOutsideItsRangeFallsBackToTheDefault) {
    struct Case {
        const char* value;
        unsigned expected;
    };
    for (const Case& c :
         {Case{"1", 1u}, Case{"250", 250u}, Case{"3600000", 3600000u}, Case{"0", 1000u}, Case{"-1", 1000u},
          Case{"3600001", 1000u}, Case{"3000000000", 1000u}, Case{"\"abc\"", 1000u}, Case{"0.5", 1000u}}) {
        zelmo::Corvane::Config config;
        config.updateFromJson(json::parse(std::string(R"({"statusPeriod": )") + c.value + "}"));
        EXPECT_EQ(config.statusPeriod(), c.expected) << c.value;
        EXPECT_EQ(config.toJson()["statusPeriod"], json::parse(c.value)) << c.value;
    }
}

TEST(ApplicationConfig, AccumulatesOtherSections) {
    zelmo::Corvane::Config config;
    config.updateFromJson(
        json::parse(R"({"statusPeriod": 500, "mqtt": {"url": "h"}, "device": {"x": [1, 2]}})"));
    EXPECT_EQ(config.toJson(),
              json::parse(R"({"device": {"x": [1, 2]}, "logDebug": false, "mqtt": {"url": "h"},
                                               "statusPeriod": 500})"));
}

TEST(ApplicationConfig, LogsItsDefaultsWithItsPrefix) {
    LogCapture capture;
    const zelmo::Corvane::Config config;
    EXPECT_EQ(capture.linesFrom("[Config] "),
              std::vector<std::string>{"[Config] Loading default configuration."});
}

} // namespace
