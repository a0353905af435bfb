#include "DaemonFixture.h"

#include <csignal>

namespace corvane::test {
namespace {

using json = nlohmann::json;

class DaemonLifecycle : public DaemonFixture {};

TEST_F(DaemonLifecycle, SigtermLeavesAFarewellStatusAndExitsZero) {
    startAndObserve();
    daemon->signal(SIGTERM);
    const auto exit = daemon->waitExit();
    ASSERT_TRUE(exit);
    EXPECT_EQ(*exit, 0);
    const auto status = retained("status");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->payload, noDriverStatus(false));

    const std::string log = daemon->log();
    const auto caught = log.find("Signal caught: ");
    const auto mqtt = log.find("Stopping mqtt...");
    const auto engine = log.find("Stopping engine...");
    const auto ended = log.find("Handler ended!");
    ASSERT_NE(caught, std::string::npos) << log;
    EXPECT_LT(caught, mqtt);
    EXPECT_LT(mqtt, log.find("Publishing last will..."));
    EXPECT_LT(mqtt, engine);
    EXPECT_LT(engine, ended);
}

TEST_F(DaemonLifecycle, SecondSignalChangesNothing) {
    startAndObserve();
    daemon->signal(SIGINT);
    daemon->signal(SIGTERM);
    const auto exit = daemon->waitExit();
    ASSERT_TRUE(exit);
    EXPECT_EQ(*exit, 0);
    EXPECT_EQ(daemon->countInLog("Signal caught: "), 1u);
    EXPECT_EQ(daemon->countInLog("Handler ended!"), 1u);
}

TEST_F(DaemonLifecycle, SignalDuringStartUpIsNotLost) {
    writeConfig();
    startDaemon();
    // From its first log line on, the daemon holds the stop signals until it is ready for them.
    ASSERT_TRUE(daemon->waitForLog(" started"));
    daemon->signal(SIGTERM);
    const auto exit = daemon->waitExit();
    ASSERT_TRUE(exit) << daemon->log();
    EXPECT_EQ(*exit, 0);
    EXPECT_EQ(daemon->countInLog("Handler ended!"), 1u);
}

TEST_F(DaemonLifecycle, SurvivesABrokerRestart) {
    startAndObserve();
    observer.reset();
    broker.stop();
    ASSERT_TRUE(daemon->waitForLog("Disconnected from MQTT Broker."));
    broker.start();
    // The restarted broker keeps nothing: what a new subscriber finds was published again.
    ASSERT_TRUE(daemon->waitForLog("Connected to MQTT Broker", 2, std::chrono::seconds(20))) << daemon->log();
    observe();
    ASSERT_TRUE(observer->waitFor(topic("metrics"))) << daemon->log();
    const auto status = retained("status");
    ASSERT_TRUE(status) << daemon->log();
    EXPECT_TRUE(status->retained);
    EXPECT_EQ(status->payload, noDriverStatus(true));
    for (const char* document : {"config", "info", "metrics"})
        EXPECT_TRUE(retained(document)) << document;
    // Subscribed again.
    EXPECT_EQ(rpc("reset", "after-restart")["completed"], true);
}

TEST_F(DaemonLifecycle, RefusedLoginIsLoggedAndRetried) {
    writeConfig(json{{"password", "wrong"}});
    startDaemon();
    ASSERT_TRUE(daemon->waitForLog("Connection failed (reason=", 2, std::chrono::seconds(15)))
        << daemon->log();
    const std::string log = daemon->log();
    EXPECT_TRUE(log.find("Connection failed (reason=Not authorized).") != std::string::npos ||
                log.find("Connection failed (reason=Bad user name or password).") != std::string::npos)
        << log;
    EXPECT_EQ(daemon->countInLog("Connected to MQTT Broker"), 0u);
    daemon->signal(SIGTERM);
    const auto exit = daemon->waitExit();
    ASSERT_TRUE(exit);
    EXPECT_EQ(*exit, 0);
}

TEST_F(DaemonLifecycle, PowerCycleIsRequestedOncePerResetEvenAfterReconnects) {
    const std::string powerTopic = "power/psu/action/ticketDispenserReset/request/corvane-parked-state";
    startAndObserve(json{{"tollen", {{"base", "power"}}}});
    MqttTestClient board(broker.url(), "power-board");
    ASSERT_TRUE(board.connect());
    ASSERT_TRUE(board.subscribe("power/#"));

    EXPECT_EQ(rpc("reset", "1")["completed"], true);
    ASSERT_EQ(board.waitForCount(powerTopic, 1).size(), 1u);

    // Reconnect twice: the engine handlers must not be connected again.
    for (int round = 2; round <= 3; ++round) {
        broker.stop();
        broker.start();
        ASSERT_TRUE(daemon->waitForLog("Connected to MQTT Broker", round, std::chrono::seconds(20)));
    }
    observe();
    ASSERT_TRUE(board.connect());
    ASSERT_TRUE(board.subscribe("power/#"));
    const auto from = board.mark();
    EXPECT_EQ(rpc("reset", "2")["completed"], true);
    ASSERT_GE(board.waitForCount(powerTopic, 1, from).size(), 1u);
    EXPECT_EQ(rpc("reset", "3")["completed"], true);
    ASSERT_GE(board.waitForCount(powerTopic, 2, from).size(), 2u);
    EXPECT_EQ(rpc("status/get", "sentinel")["completed"], true);
    EXPECT_EQ(board.messages(powerTopic, from).size(), 2u);
    for (const auto& m : board.messages(powerTopic, from))
        EXPECT_EQ(m.payload, "");
}

TEST_F(DaemonLifecycle, TollenStateMachineMessagesNeverStopTheService) {
    startAndObserve(json{{"tollen", {{"base", "power"}}}});
    const std::string machine = "power/psu/status/state_machine";
    ASSERT_TRUE(daemon->waitForLog("Subscribed to topic '" + machine + "'."));
    MqttTestClient board(broker.url(), "power-board");
    ASSERT_TRUE(board.connect());

    struct Case {
        const char* payload;
        bool errorReport;
    };
    // Anything but a JSON object is reported; an object is taken, whatever its message.
    const Case cases[] = {{"[1]", true},
                          {"null", true},
                          {"\"SHUTDOWN\"", true},
                          {"\xff", true},
                          {"{", true},
                          {"{}", false},
                          {R"({"message":"RUNNING"})", false},
                          {R"({"message":"SHUTDOWN"})", false},
                          {R"({"message":null})", false}};
    std::size_t handled = 0;
    for (const Case& c : cases) {
        const auto from = observer->mark();
        ASSERT_TRUE(board.publish(machine, c.payload));
        ASSERT_TRUE(daemon->waitForLog("New message received (qos=0): " + machine, ++handled)) << c.payload;
        // Everything the daemon published while handling it is delivered before this answer.
        EXPECT_EQ(rpc("status/get", "after-tollen")["completed"], true);
        const auto errors = observer->messages(topic("error"), from);
        ASSERT_EQ(errors.size(), c.errorReport ? 1u : 0u) << c.payload;
        if (c.errorReport) {
            EXPECT_EQ(json::parse(errors.front().payload)["command"], machine);
        }
    }
}

} // namespace
} // namespace corvane::test
