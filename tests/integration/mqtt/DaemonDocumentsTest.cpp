#include "DaemonFixture.h"

#include <set>

namespace corvane::test {
namespace {

class DaemonDocuments : public DaemonFixture {};

TEST_F(DaemonDocuments, PublishesTheFourStateDocumentsInOrderAfterConnecting) {
    startAndObserve();
    const auto all = observer->all();
    std::vector<std::string> order;
    for (const auto& m : all)
        if (m.topic.rfind(std::string(Base) + "/", 0) == 0)
            order.push_back(m.topic.substr(std::string(Base).size() + 1));
    const std::vector<std::string> expected{"status", "config", "info", "metrics"};
    ASSERT_GE(order.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 4), expected);

    EXPECT_EQ(observer->waitFor(topic("status"))->payload, noDriverStatus(true));
    EXPECT_EQ(observer->waitFor(topic("info"))->payload, NoDriverInfo);
    EXPECT_EQ(observer->waitFor(topic("metrics"))->payload, FreshMetrics);
}

// Seen by a client subscribed at qos 2, so the publication's own qos shows: the state documents go
// out at qos 2, answers, error reports and events at qos 0; a client arriving later finds only the
// state documents retained.
TEST_F(DaemonDocuments, QualityOfServiceAndRetainFlagsPerKindOfMessage) {
    writeConfig();
    observe();
    MqttTestClient full(broker.url(), "qos-2-observer");
    ASSERT_TRUE(full.connect());
    ASSERT_TRUE(full.subscribe(std::string(Base) + "/#", 2));
    startDaemon();
    ASSERT_TRUE(full.waitFor(topic("metrics"))) << daemon->log();

    const auto from = full.mark();
    EXPECT_EQ(rpc("status/get", "q1")["completed"], true);
    ASSERT_TRUE(observer->publish(topic("config/set"), "not json"));
    ASSERT_TRUE(full.waitFor(topic("error"), from));
    ASSERT_TRUE(observer->publish(topic("status/get"), ""));
    ASSERT_TRUE(full.waitFor(topic("status"), from));

    for (const auto& m : full.all()) {
        const std::string kind = m.topic.substr(std::string(Base).size() + 1);
        const bool state = kind == "status" || kind == "config" || kind == "info" || kind == "metrics";
        EXPECT_EQ(m.qos, state ? 2 : 0) << kind;
    }

    MqttTestClient late(broker.url(), "late-everything");
    ASSERT_TRUE(late.connect());
    ASSERT_TRUE(late.subscribe(std::string(Base) + "/#", 2));
    ASSERT_TRUE(late.waitForCount(topic("metrics"), 1).size() == 1);
    EXPECT_EQ(rpc("status/get", "q2")["completed"], true); // everything retained has arrived by now
    std::set<std::string> kept;
    for (const auto& m : late.all())
        if (m.retained)
            kept.insert(m.topic.substr(std::string(Base).size() + 1));
    EXPECT_EQ(kept, (std::set<std::string>{"config", "info", "metrics", "status"}));
}

TEST_F(DaemonDocuments, DocumentsAreRetained) {
    startAndObserve();
    const auto status = retained("status");
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->retained);
    EXPECT_EQ(status->payload, noDriverStatus(true));
    const auto info = retained("info");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->payload, NoDriverInfo);
    const auto metrics = retained("metrics");
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metrics->payload, FreshMetrics);
    const auto config = retained("config");
    ASSERT_TRUE(config);
    EXPECT_TRUE(config->retained);
}

TEST_F(DaemonDocuments, ConfigurationDocumentMasksTheBrokerPassword) {
    startAndObserve();
    const auto config = observer->waitFor(topic("config"));
    ASSERT_TRUE(config);
    const std::string expected =
        R"({"logDebug":false,"mqtt":{"base":"zelmo/tvm/paperticket/dispenser","password":"********",)"
        R"("tollen":{"base":"","reset":"psu/action/ticketDispenserReset/request/corvane-parked-state"},)"
        R"("url":")" +
        broker.url() + R"(","username":"QuennetUser"},"statusPeriod":1000})";
    EXPECT_EQ(config->payload, expected);
    EXPECT_EQ(config->payload.find(MosquittoBroker::Password), std::string::npos);
    // The file keeps the real password: the daemon must be able to log in after a restart.
    EXPECT_EQ(readConfigFile()["mqtt"]["password"], MosquittoBroker::Password);
}

struct PlainCase {
    const char* request;
    const char* answer;
};

class DaemonPlainRequests : public DaemonFixture, public testing::WithParamInterface<PlainCase> {};

TEST_P(DaemonPlainRequests, AnswerOnTheStateTopic) {
    startAndObserve();
    const auto from = observer->mark();
    ASSERT_TRUE(observer->publish(topic(GetParam().request), ""));
    const auto answer = observer->waitFor(topic(GetParam().answer), from);
    ASSERT_TRUE(answer) << daemon->log();
    EXPECT_EQ(answer->qos, 0); // limited by the observer's subscription
    const std::string kind = GetParam().answer;
    if (kind == "status") {
        EXPECT_EQ(answer->payload, noDriverStatus(true));
    } else if (kind == "info") {
        EXPECT_EQ(answer->payload, NoDriverInfo);
    } else if (kind == "metrics") {
        EXPECT_EQ(answer->payload, FreshMetrics);
    } else {
        EXPECT_NE(answer->payload.find(R"("password":"********")"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(All, DaemonPlainRequests,
                         testing::Values(PlainCase{"status/get", "status"}, PlainCase{"info/get", "info"},
                                         PlainCase{"metrics/get", "metrics"},
                                         PlainCase{"config/get", "config"}));

} // namespace
} // namespace corvane::test
