#include "MQTTClient.h"
#include "MosquittoBroker.h"
#include "MqttTestClient.h"
#include "RecordingListener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

using corvane::test::MosquittoBroker;
using corvane::test::MqttTestClient;

namespace {

struct ReasonCase {
    int code;
    const char* text;
};

class ConnectFailureReason : public testing::TestWithParam<ReasonCase> {};

TEST_P(ConnectFailureReason, MapsReturnCodeToText) {
    EXPECT_EQ(MQTTClient::connectFailureReason(GetParam().code), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConnectFailureReason,
    testing::Values(ReasonCase{0, "Connection accepted"}, ReasonCase{1, "Unacceptable protocol version"},
                    ReasonCase{2, "Identifier rejected"}, ReasonCase{3, "Service unavailable"},
                    ReasonCase{4, "Bad user name or password"}, ReasonCase{5, "Not authorized"},
                    ReasonCase{-1, "Connection timeout"}, ReasonCase{7, "Unknown reason"},
                    ReasonCase{-3, "Unknown reason"}));

TEST(MQTTClientOffline, RequestsBeforeAnyConnectAttemptFail) {
    RecordingListener listener;
    MQTTClient client(&listener);
    EXPECT_FALSE(client.publish("t", "p", 0, false));
    EXPECT_FALSE(client.subscribe("t", 0));
    EXPECT_FALSE(client.unsubscribe("t"));
    EXPECT_FALSE(client.disconnect(0));
    EXPECT_FALSE(client.isConnected());
    EXPECT_TRUE(listener.events().empty());
}

TEST(MQTTClientOffline, WaitWithoutAnyRequestIsFalse) {
    MQTTClient client(nullptr);
    EXPECT_FALSE(client.wait(0));
    EXPECT_FALSE(client.wait(100));
}

TEST(MQTTClientOffline, SettersAreReadBack) {
    MQTTClient client(nullptr);
    EXPECT_EQ(client.clientId(), "zelmo_mqtt_client");
    EXPECT_EQ(client.username(), "");
    EXPECT_EQ(client.password(), "");
    client.setClientId("id1");
    client.setUrl("tcp://127.0.0.1:1");
    client.setUsername("user");
    client.setPassword("secret");
    EXPECT_EQ(client.clientId(), "id1");
    EXPECT_EQ(client.url(), "tcp://127.0.0.1:1");
    EXPECT_EQ(client.username(), "user");
    EXPECT_EQ(client.password(), "secret");
}

TEST(MQTTClientOffline, MalformedUrlIsReportedAsFailedConnect) {
    RecordingListener listener;
    MQTTClient client(&listener);
    client.setUrl("bogus://nowhere");
    EXPECT_TRUE(client.connect());
    EXPECT_TRUE(listener.waitFor([&] { return listener.countPrefix("failed:") >= 1; }));
}

TEST(MQTTClientOffline, ClosedPortIsReportedAsFailedConnect) {
    RecordingListener listener;
    MQTTClient client(&listener);
    client.setUrl("tcp://127.0.0.1:" + std::to_string(corvane::test::freeLoopbackPort()));
    client.connect();
    EXPECT_TRUE(listener.waitFor([&] { return listener.countPrefix("failed:") >= 1; }));
    EXPECT_EQ(listener.count("connected"), 0u);
}

// Reconnecting from inside the failure callback replaces the client object that is still
// delivering that callback; it must stay alive until the callback has returned.
TEST(MQTTClientOffline, ReconnectFromFailureCallbackIsSafe) {
    RecordingListener listener;
    MQTTClient client(&listener);
    std::atomic<int> attempts{0};
    listener.onFailure = [&] {
        if (++attempts < 15)
            client.connect();
    };
    client.setUrl("tcp://127.0.0.1:" + std::to_string(corvane::test::freeLoopbackPort()));
    client.connect();
    EXPECT_TRUE(
        listener.waitFor([&] { return listener.countPrefix("failed:") >= 15; }, std::chrono::seconds(30)));
}

class MQTTClientWithBroker : public testing::Test {
protected:
    void configure(MQTTClient& client, const std::string& id,
                   const std::string& password = MosquittoBroker::Password) {
        client.setClientId(id);
        client.setUrl(broker.url());
        client.setUsername(MosquittoBroker::Username);
        client.setPassword(password);
    }
    MosquittoBroker broker;
};

TEST_F(MQTTClientWithBroker, ConnectSubscribeReceiveAndPublish) {
    RecordingListener listener;
    MQTTClient client(&listener);
    configure(client, "unit-basic");
    ASSERT_TRUE(client.connect());
    ASSERT_TRUE(listener.waitCount("connected", 1));
    EXPECT_TRUE(client.isConnected());

    ASSERT_TRUE(client.subscribe("unit/in", 0));
    EXPECT_TRUE(client.wait(5000));
    ASSERT_TRUE(listener.waitCount("subscribed:unit/in", 1));

    MqttTestClient peer(broker.url(), "unit-peer");
    ASSERT_TRUE(peer.connect());
    ASSERT_TRUE(peer.subscribe("unit/out"));
    ASSERT_TRUE(peer.publish("unit/in", "hello"));
    EXPECT_TRUE(listener.waitCount("message:unit/in=hello", 1));

    ASSERT_TRUE(client.publish("unit/out", "{\"a\":1}", 2, false));
    const auto got = peer.waitFor("unit/out");
    ASSERT_TRUE(got);
    EXPECT_EQ(got->payload, "{\"a\":1}");
    EXPECT_TRUE(listener.waitCount("sent", 1));
    EXPECT_TRUE(client.wait(-1));

    ASSERT_TRUE(client.unsubscribe("unit/in"));
    EXPECT_TRUE(listener.waitCount("unsubscribed:unit/in", 1));
}

TEST_F(MQTTClientWithBroker, RefusedLoginGivesReasonAndNoConnection) {
    RecordingListener listener;
    MQTTClient client(&listener);
    configure(client, "unit-refused", "wrong");
    client.connect();
    ASSERT_TRUE(listener.waitFor([&] { return listener.countPrefix("failed:") >= 1; }));
    const auto events = listener.events();
    const bool refused =
        std::find(events.begin(), events.end(), "failed:Not authorized") != events.end() ||
        std::find(events.begin(), events.end(), "failed:Bad user name or password") != events.end();
    EXPECT_TRUE(refused) << events.front();
    EXPECT_EQ(listener.count("connected"), 0u);
}

TEST_F(MQTTClientWithBroker, SecondConnectReplacesTheClientAndOnlyTheNewOneReports) {
    RecordingListener listener;
    MQTTClient client(&listener);
    configure(client, "unit-twice");
    client.connect();
    ASSERT_TRUE(listener.waitCount("connected", 1));
    client.connect();
    ASSERT_TRUE(listener.waitCount("connected", 2));
    ASSERT_TRUE(client.subscribe("unit/twice", 0));
    ASSERT_TRUE(listener.waitCount("subscribed:unit/twice", 1));

    MqttTestClient peer(broker.url(), "unit-twice-peer");
    ASSERT_TRUE(peer.connect());
    ASSERT_TRUE(peer.publish("unit/twice", "one"));
    ASSERT_TRUE(peer.publish("unit/twice", "two"));
    ASSERT_TRUE(listener.waitCount("message:unit/twice=two", 1));
    EXPECT_EQ(listener.count("message:unit/twice=one"), 1u);
    EXPECT_TRUE(client.isConnected());
}

TEST_F(MQTTClientWithBroker, ManyQuickConnectsEndConnectedOnce) {
    RecordingListener listener;
    MQTTClient client(&listener);
    configure(client, "unit-many");
    for (int i = 0; i < 10; ++i)
        client.connect();
    ASSERT_TRUE(listener.waitFor([&] { return client.isConnected(); }));
    ASSERT_TRUE(client.subscribe("unit/many", 0));
    ASSERT_TRUE(listener.waitCount("subscribed:unit/many", 1));
    MqttTestClient peer(broker.url(), "unit-many-peer");
    ASSERT_TRUE(peer.connect());
    ASSERT_TRUE(peer.publish("unit/many", "x"));
    ASSERT_TRUE(listener.waitCount("message:unit/many=x", 1));
    ASSERT_TRUE(peer.publish("unit/many", "y"));
    ASSERT_TRUE(listener.waitCount("message:unit/many=y", 1));
    EXPECT_EQ(listener.count("message:unit/many=x"), 1u);
}

TEST_F(MQTTClientWithBroker, LostConnectionIsReported) {
    RecordingListener listener;
    MQTTClient client(&listener);
    configure(client, "unit-lost");
    client.connect();
    ASSERT_TRUE(listener.waitCount("connected", 1));
    broker.stop();
    EXPECT_TRUE(listener.waitCount("disconnected", 1));
    EXPECT_FALSE(client.isConnected());
    broker.start();
    client.connect();
    EXPECT_TRUE(listener.waitCount("connected", 2));
}

TEST_F(MQTTClientWithBroker, DestroyingAConnectedClientDisconnectsIt) {
    RecordingListener listener;
    {
        MQTTClient client(&listener);
        configure(client, "unit-destroy");
        client.connect();
        ASSERT_TRUE(listener.waitCount("connected", 1));
    }
    EXPECT_EQ(listener.count("disconnected"), 1u);
}

TEST_F(MQTTClientWithBroker, CleanDisconnectDoesNotFireTheWill) {
    MqttTestClient peer(broker.url(), "unit-will-peer");
    ASSERT_TRUE(peer.connect());
    ASSERT_TRUE(peer.subscribe("unit/will"));
    RecordingListener listener;
    {
        MQTTClient client(&listener);
        configure(client, "unit-will");
        client.setWill("unit/will", "gone", 0, false);
        client.connect();
        ASSERT_TRUE(listener.waitCount("connected", 1));
    }
    ASSERT_TRUE(peer.publish("unit/will", "sentinel"));
    ASSERT_TRUE(peer.waitFor("unit/will"));
    const auto seen = peer.messages("unit/will");
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front().payload, "sentinel");
}

TEST_F(MQTTClientWithBroker, DetachedListenerHearsNothingMore) {
    RecordingListener listener;
    MQTTClient client(&listener);
    configure(client, "unit-detach");
    client.connect();
    ASSERT_TRUE(listener.waitCount("connected", 1));
    client.setListener(nullptr);
    const auto before = listener.events().size();
    broker.stop();
    ASSERT_TRUE(listener.waitFor([&] { return !client.isConnected(); }));
    EXPECT_EQ(listener.events().size(), before);
}

} // namespace
