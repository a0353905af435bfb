#include "DaemonFixture.h"

namespace corvane::test {
namespace {

using json = nlohmann::json;

class DaemonConfig : public DaemonFixture {
protected:
    // Sends a request that always answers ("info/get") and waits for its answer, so that whatever
    // an earlier request caused has been published before.
    void flush(std::size_t from) {
        ASSERT_TRUE(observer->publish(topic("info/get"), ""));
        ASSERT_TRUE(observer->waitFor(topic("info"), from));
    }
};

TEST_F(DaemonConfig, InvalidJsonPublishesAnErrorReportAndNoConfiguration) {
    startAndObserve();
    const auto from = observer->mark();
    ASSERT_TRUE(observer->publish(topic("config/set"), "{bad"));
    const auto error = observer->waitFor(topic("error"), from);
    ASSERT_TRUE(error);
    const json report = json::parse(error->payload);
    EXPECT_EQ(report["command"], topic("config/set"));
    EXPECT_NE(report["error"].get<std::string>().find("parse_error"), std::string::npos);
    EXPECT_EQ(error->qos, 0);
    flush(from);
    EXPECT_TRUE(observer->messages(topic("config"), from).empty());
    EXPECT_TRUE(daemon->waitForLog("Command failed: config/set, reason: "));
}

TEST_F(DaemonConfig, PayloadThatIsNotUtf8IsReportedWithReplacementCharacters) {
    startAndObserve();
    const auto from = observer->mark();
    ASSERT_TRUE(observer->publish(topic("config/set"), "\"\xc3\x28\""));
    const auto error = observer->waitFor(topic("error"), from);
    ASSERT_TRUE(error) << daemon->log();
    EXPECT_NO_THROW(json::parse(error->payload));
    flush(from);
}

TEST_F(DaemonConfig, DocumentsOfTheWrongShapeNeverStopTheAnswers) {
    startAndObserve();
    for (const char* payload : {"[1]", "5", "\"text\"", "null", R"({"mqtt":[1,2]})", R"({"device":"x"})"})
        ASSERT_TRUE(observer->publish(topic("config/set"), payload));
    EXPECT_EQ(rpc("status/get", "after-config")["completed"], true) << daemon->log();
    EXPECT_EQ(readConfigFile()["mqtt"]["password"], MosquittoBroker::Password);
}

TEST_F(DaemonConfig, ValidChangeRepublishesTheConfigurationAndRewritesTheFile) {
    startAndObserve();
    const auto from = observer->mark();
    ASSERT_TRUE(observer->publish(topic("config/set"), R"({"statusPeriod":500})"));
    const auto config = observer->waitFor(
        [&](const ReceivedMessage& m) {
            return m.topic == topic("config") && json::parse(m.payload)["statusPeriod"] == 500;
        },
        from);
    ASSERT_TRUE(config) << daemon->log();
    EXPECT_EQ(json::parse(config->payload)["mqtt"]["password"], "********");
    const json file = readConfigFile();
    EXPECT_EQ(file["statusPeriod"], 500);
    EXPECT_EQ(file["mqtt"]["password"], MosquittoBroker::Password);
}

TEST_F(DaemonConfig, SettingTheMaskBackKeepsThePassword) {
    startAndObserve();
    // A client that edits the published document and sends it back.
    auto published = json::parse(observer->waitFor(topic("config"))->payload);
    published["statusPeriod"] = 700;
    const auto from = observer->mark();
    ASSERT_TRUE(observer->publish(topic("config/set"), published.dump()));
    ASSERT_TRUE(observer->waitFor(
        [&](const ReceivedMessage& m) {
            return m.topic == topic("config") && json::parse(m.payload)["statusPeriod"] == 700;
        },
        from));
    EXPECT_EQ(readConfigFile()["mqtt"]["password"], MosquittoBroker::Password);
    // Still logged in with the real password: requests keep being answered.
    EXPECT_EQ(rpc("status/get", "still")["completed"], true);
    EXPECT_EQ(daemon->countInLog("Connection failed"), 0u);
}

// The settings table printed at activation shows the broker password masked.
TEST_F(DaemonConfig, PasswordIsMaskedInTheLoggedSettingsTable) {
    startAndObserve();
    EXPECT_EQ(daemon->countInLog(MosquittoBroker::Password), 0u) << daemon->log();
}

TEST_F(DaemonConfig, ChangedBaseTopicTakesEffectAfterTheRestart) {
    startAndObserve();
    MqttTestClient other(broker.url(), "other-base");
    ASSERT_TRUE(other.connect());
    ASSERT_TRUE(other.subscribe("a/b/#"));
    ASSERT_TRUE(observer->publish(topic("config/set"), R"({"mqtt":{"base":"a/b"}})"));
    const auto info = other.waitFor("a/b/info");
    ASSERT_TRUE(info) << daemon->log();
    EXPECT_EQ(info->payload, NoDriverInfo);
    const auto from = other.mark();
    ASSERT_TRUE(other.publish("a/b/reset/request/1", ""));
    ASSERT_TRUE(other.waitFor("a/b/reset/response/1", from));
    EXPECT_EQ(readConfigFile()["mqtt"]["base"], "a/b");
}

} // namespace
} // namespace corvane::test
