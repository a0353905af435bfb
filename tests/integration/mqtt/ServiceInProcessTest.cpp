#include "DaemonProcess.h"
#include "Engine.h"
#include "ErrorCode.h"
#include "MosquittoBroker.h"
#include "MqttTestClient.h"
#include "api/mqtt/Service.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <memory>

namespace corvane::test {
namespace {

using json = nlohmann::json;
using zelmo::Corvane::Engine;
using zelmo::Corvane::ErrorCode;
using zelmo::Corvane::API::MQTT::Service;

// The service in this process around an engine without a dispenser, so the engine's signals can be
// emitted by the test.
class ServiceInProcess : public testing::Test {
protected:
    static constexpr const char* Base = "zelmo/tvm/paperticket/dispenser";

    void SetUp() override {
        previous = std::filesystem::current_path();
        // The engine keeps its metrics file in the working directory.
        std::filesystem::current_path(dir.path());
        engine = std::make_shared<Engine>(dir.file("no-device"), dir.file("corvane.json"));
        service = std::make_unique<Service>(engine, std::chrono::milliseconds(200));
        service->setConfigCallback(json{{"url", broker.url()},
                                        {"username", MosquittoBroker::Username},
                                        {"password", MosquittoBroker::Password}});
        observer = std::make_unique<MqttTestClient>(broker.url(), "in-process-observer");
        ASSERT_TRUE(observer->connect());
        ASSERT_TRUE(observer->subscribe(std::string(Base) + "/#"));
    }

    void TearDown() override {
        service.reset();
        engine.reset();
        std::filesystem::current_path(previous);
    }

    void startService() {
        const auto from = observer->mark();
        service->start();
        ASSERT_TRUE(observer->waitFor(topic("metrics"), from));
    }

    std::string topic(const std::string& relative) const { return std::string(Base) + "/" + relative; }

    json rpc(const std::string& command, const std::string& id, const std::string& payload) {
        const auto from = observer->mark();
        EXPECT_TRUE(observer->publish(topic(command + "/request/" + id), payload));
        const auto response = observer->waitFor(topic(command + "/response/" + id), from);
        EXPECT_TRUE(response);
        return response ? json::parse(response->payload) : json();
    }

    // Round trip through the service's callback thread: everything published before is delivered.
    void flush() {
        const auto from = observer->mark();
        ASSERT_TRUE(observer->publish(topic("info/get"), ""));
        ASSERT_TRUE(observer->waitFor(topic("info"), from));
    }

    std::vector<std::string> payloads(const std::string& relative, std::size_t from) const {
        std::vector<std::string> result;
        for (const auto& m : observer->messages(topic(relative), from))
            result.push_back(m.payload);
        return result;
    }

    MosquittoBroker broker;
    ScratchDir dir;
    std::filesystem::path previous;
    std::shared_ptr<Engine> engine;
    std::unique_ptr<Service> service;
    std::unique_ptr<MqttTestClient> observer;
};

TEST_F(ServiceInProcess, TopicFunctions) {
    service->setConfigCallback(json{{"base", "a/b"}});
    EXPECT_EQ(service->removeBase("x/a/b/info/get"), "info/get");
    EXPECT_EQ(service->removeBase("a/b/park/request/42"), "park/request/42");
    EXPECT_EQ(service->removeBase("elsewhere/info/get"), "elsewhere/info/get");
    EXPECT_TRUE(Service::isRpc("park/request/42"));
    EXPECT_TRUE(Service::isRpc("metrics/clear/request/7"));
    EXPECT_FALSE(Service::isRpc("unknown/request/1"));
    EXPECT_FALSE(Service::isRpc("status/get"));
    EXPECT_EQ(Service::extractRpcCommand("metrics/clear/request/7"), "metrics/clear");
    EXPECT_EQ(Service::extractRpcID("metrics/clear/request/7"), "7");
    EXPECT_EQ(Service::extractRpcCommand("status/get"), "status/get");
}

TEST_F(ServiceInProcess, CompletionObjects) {
    EXPECT_EQ(Service::codeToJson({}).dump(), R"({"completed":true})");
    EXPECT_EQ(Service::codeToJson(make_error_code(ErrorCode::Timeout)).dump(),
              R"({"completed":false,"error":{"code":21,"what":"Timeout"}})");
}

TEST_F(ServiceInProcess, MaskedPasswordInASectionKeepsTheStoredOne) {
    service->setConfigCallback(json{{"password", "********"}, {"username", "someone"}});
    EXPECT_EQ(service->config().password(), MosquittoBroker::Password);
    EXPECT_EQ(service->config().username(), "someone");
    EXPECT_EQ(service->getConfigCallback()["password"], MosquittoBroker::Password);
}

TEST_F(ServiceInProcess, FirmwareProgressClimbsByOneAndEndsUnderTheRequestId) {
    startService();
    ASSERT_EQ(rpc("firmwareUpgrade", "abc", R"({"firmware":"/nowhere.s19","crc16":"1a2b"})")["completed"],
              true);
    // Whatever the engine reports for the missing driver comes first.
    ASSERT_TRUE(observer->waitFor(topic("firmwareUpgrade/finished/abc")));
    const auto from = observer->mark();
    for (float value : {0.0f, 0.5f, 1.0f, 2.0f, 3.0f})
        engine->firmwareUpgradeProgress.emit(value);
    engine->firmwareUpgradeFinished.emit(std::error_code());
    ASSERT_TRUE(observer->waitFor(topic("firmwareUpgrade/finished/abc"), from));
    EXPECT_EQ(payloads("firmwareUpgrade/progress", from),
              (std::vector<std::string>{R"({"percent":1})", R"({"percent":2})", R"({"percent":3})",
                                        R"({"percent":4})"}));
    EXPECT_EQ(payloads("firmwareUpgrade/finished/abc", from),
              std::vector<std::string>{R"({"completed":true})"});
}

TEST_F(ServiceInProcess, ProgressJumpIsReportedOneStepAtATime) {
    startService();
    ASSERT_EQ(rpc("resourcesLoad", "r", R"({"resources":"/nowhere"})").contains("completed"), true);
    flush();
    const auto from = observer->mark();
    engine->resourceLoadProgress.emit(50.0f);
    engine->resourceLoadProgress.emit(50.0f);
    flush();
    EXPECT_EQ(payloads("resourceLoads/progress", from),
              (std::vector<std::string>{R"({"percent":1})", R"({"percent":2})"}));
}

TEST_F(ServiceInProcess, FinishedWithoutRequestPublishesNothing) {
    startService();
    const auto from = observer->mark();
    engine->resourceLoadFinished.emit(make_error_code(ErrorCode::Timeout));
    engine->firmwareUpgradeFinished.emit(std::error_code());
    flush();
    for (const auto& m : observer->all())
        EXPECT_EQ(m.topic.find("/finished"), std::string::npos) << m.topic;
    (void)from;
}

TEST_F(ServiceInProcess, FailedResourceLoadReportsCodeAndText) {
    startService();
    rpc("resourcesLoad", "r1", R"({"resources":"/nowhere"})");
    flush();
    const auto from = observer->mark();
    engine->resourceLoadFinished.emit(make_error_code(ErrorCode::Timeout));
    const auto finished = observer->waitFor(topic("resourceLoads/finished/r1"), from);
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->payload, R"({"completed":false,"error":{"code":21,"what":"Timeout"}})");
}

TEST_F(ServiceInProcess, EngineEventsAreHandledOncePerEmissionAfterReconnects) {
    startService();
    rpc("firmwareUpgrade", "once", R"({"firmware":"/nowhere.s19"})");
    ASSERT_TRUE(observer->waitFor(topic("firmwareUpgrade/finished/once")));
    for (int round = 0; round < 2; ++round) {
        const auto before = observer->mark();
        observer.reset();
        broker.stop();
        broker.start();
        observer = std::make_unique<MqttTestClient>(broker.url(), "in-process-observer");
        ASSERT_TRUE(observer->connect());
        ASSERT_TRUE(observer->subscribe(std::string(Base) + "/#"));
        ASSERT_TRUE(observer->waitFor(topic("metrics"), 0, std::chrono::seconds(20)));
        (void)before;
    }
    const auto from = observer->mark();
    engine->firmwareUpgradeFinished.emit(std::error_code());
    engine->firmwareUpgradeProgress.emit(0.0f);
    flush();
    EXPECT_EQ(payloads("firmwareUpgrade/finished/once", from).size(), 1u);
    EXPECT_EQ(payloads("firmwareUpgrade/progress", from).size(), 1u);
}

TEST_F(ServiceInProcess, StopPublishesTheFarewellAndDestructionIsQuiet) {
    startService();
    const auto from = observer->mark();
    service->stop();
    const auto status = observer->waitFor(topic("status"), from);
    ASSERT_TRUE(status);
    EXPECT_NE(status->payload.find(R"("service":false)"), std::string::npos);
    // Events after the service is gone reach nothing.
    service.reset();
    engine->metricsChanged.emit();
    engine->powerCycleRequired.emit();
}

} // namespace
} // namespace corvane::test
