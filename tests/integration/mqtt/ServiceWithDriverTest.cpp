#include "DaemonProcess.h"
#include "Engine.h"
#include "FakeDriver.h"
#include "MosquittoBroker.h"
#include "MqttTestClient.h"
#include "api/mqtt/Service.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

namespace corvane::test {
namespace {

using engine_test::FakeDevice;
using engine_test::FakeDriver;
using json = nlohmann::json;
using zelmo::Corvane::Engine;
using zelmo::Corvane::Status;
using zelmo::Corvane::API::MQTT::Service;

// Engine and service wired as main() wires them, in this process, with a scripted driver instead of
// device detection, so the tests can hold the driver at the points that matter.
class ServiceWithDriver : public testing::Test {
protected:
    static constexpr const char* Base = "zelmo/tvm/paperticket/dispenser";

    void SetUp() override {
        previous = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        std::filesystem::create_directories(dir.file("app"));
        std::ofstream(dir.file("corvane.json")) << json{{"statusPeriod", 50},
                                                        {"mqtt",
                                                         {{"url", broker.url()},
                                                          {"username", MosquittoBroker::Username},
                                                          {"password", MosquittoBroker::Password}}}}
                                                       .dump();
        observer = std::make_unique<MqttTestClient>(broker.url(), "driver-observer");
        ASSERT_TRUE(observer->connect());
        ASSERT_TRUE(observer->subscribe("#"));
    }

    void TearDown() override {
        if (service)
            service->stop();
        if (engine)
            engine->stop();
        service.reset();
        engine.reset();
        std::filesystem::current_path(previous);
    }

    void start() {
        Engine::Options options;
        options.driverFactory =
            [this](const std::string&) -> std::unique_ptr<zelmo::Corvane::Dispensers::Driver> {
            return std::make_unique<FakeDriver>(device);
        };
        options.applicationDirectory = dir.file("app");
        engine = std::make_shared<Engine>(dir.file("no-device"), dir.file("corvane.json"), options);
        service = std::make_unique<Service>(engine, std::chrono::milliseconds(200));
        ASSERT_FALSE(engine->activate());
        engine->start();
        service->start();
    }

    static std::string topic(const std::string& relative) { return std::string(Base) + "/" + relative; }

    json rpc(const std::string& command, const std::string& id, const std::string& payload = "") {
        const auto from = observer->mark();
        EXPECT_TRUE(observer->publish(topic(command + "/request/" + id), payload));
        const auto response = observer->waitFor(topic(command + "/response/" + id), from);
        EXPECT_TRUE(response) << command << " got no answer";
        return response ? json::parse(response->payload) : json();
    }

    std::optional<ReceivedMessage> waitForPayload(const std::string& relative, const std::string& part,
                                                  std::size_t from = 0) {
        const std::string wanted = topic(relative);
        return observer->waitFor(
            [&](const ReceivedMessage& m) {
                return m.topic == wanted && m.payload.find(part) != std::string::npos;
            },
            from);
    }

    MosquittoBroker broker;
    ScratchDir dir;
    std::filesystem::path previous;
    std::shared_ptr<FakeDevice> device = std::make_shared<FakeDevice>();
    std::shared_ptr<Engine> engine;
    std::unique_ptr<Service> service;
    std::unique_ptr<MqttTestClient> observer;
};

// The poll that creates the driver reads an inactive status, so the first status to publish comes
// from a later poll, one that holds the engine's command lock. The info document it triggers needs
// that lock too; asking for it on the poll's own thread would hang the engine for good.
TEST_F(ServiceWithDriver, FirstActiveStatusFromALaterPollStillPublishesInfo) {
    // One status for the initialisation's parked check, one for the poll that created the driver.
    device->statusScript = {Status(), Status()};
    start();
    const auto info = waitForPayload("info", "FakeModel");
    ASSERT_TRUE(info);
    EXPECT_EQ(
        json::parse(info->payload)["device"],
        (json{{"firmware", "1.2.3"}, {"manufacturer", "Fake"}, {"model", "FakeModel"}, {"type", "serial"}}));
    EXPECT_EQ(rpc("status/get", "alive")["device"]["active"], true);
    EXPECT_EQ(rpc("park", "alive")["completed"], true);
}

// A "config/set" that moves the service publishes its answer (on the "config" topic of the new base)
// before the service says farewell and reconnects. The driver is held while the request is inside
// the engine, so a restart that did not wait for the answer would race it.
TEST_F(ServiceWithDriver, ConfigAnswerIsPublishedBeforeTheRestart) {
    start();
    ASSERT_TRUE(waitForPayload("info", "FakeModel"));

    const auto from = observer->mark();
    {
        std::unique_lock<std::mutex> hold(device->mutex);
        ASSERT_TRUE(observer->publish(topic("config/set"), R"({"mqtt":{"base":"a/b"}})"));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    ASSERT_TRUE(observer->waitFor("a/b/info", from));
    std::vector<std::string> sequence;
    for (const auto& m : observer->all()) {
        if (m.topic == "a/b/config")
            sequence.push_back("config");
        else if (m.topic == "a/b/status" && m.payload.find(R"("service":false)") != std::string::npos)
            sequence.push_back("farewell");
        else if (m.topic == "a/b/info")
            sequence.push_back("info");
    }
    // The answer, the farewell of the old connection, then the documents of the new one.
    ASSERT_GE(sequence.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(sequence.begin(), sequence.begin() + 4),
              (std::vector<std::string>{"config", "farewell", "config", "info"}));
}

// The checksum of a firmware request: hexadecimal text, or a non-negative number taken as it is;
// anything else counts as 0; only the low 16 bits reach the driver.
TEST_F(ServiceWithDriver, FirmwareChecksumReachesTheDriver) {
    start();
    ASSERT_TRUE(waitForPayload("info", "FakeModel"));
    const std::string image = dir.file("image.s19");
    std::ofstream(image) << "S00600004844521B\n";

    struct Case {
        const char* crc16; // JSON text of the member, or nullptr for none
        unsigned short expected;
    };
    const Case cases[] = {{R"("1a2b")", 0x1A2B},
                          {"6699", 0x1A2B},
                          {R"("0x1A2B")", 0x1A2B},
                          {"74565", 0x2345},
                          {R"("12345")", 0x2345},
                          {"-5", 0},
                          {"1.5", 0},
                          {"true", 0},
                          {nullptr, 0}};
    int id = 0;
    for (const Case& c : cases) {
        std::string payload = R"({"firmware":")" + image + "\"";
        if (c.crc16)
            payload += std::string(R"(,"crc16":)") + c.crc16;
        payload += "}";
        const std::string requestId = "crc" + std::to_string(++id);
        const auto from = observer->mark();
        EXPECT_EQ(rpc("firmwareUpgrade", requestId, payload)["completed"], true) << payload;
        ASSERT_TRUE(observer->waitFor(topic("firmwareUpgrade/finished/" + requestId), from)) << payload;
        std::lock_guard<std::mutex> lock(device->mutex);
        ASSERT_EQ(device->firmwareCrcs.size(), static_cast<std::size_t>(id));
        EXPECT_EQ(device->firmwareCrcs.back(), c.expected) << payload;
    }
}

TEST_F(ServiceWithDriver, TollenShutdownParksTheDispenser) {
    std::ofstream(dir.file("corvane.json")) << json{
        {"statusPeriod", 50},
        {"mqtt",
         {{"url", broker.url()},
          {"username", MosquittoBroker::Username},
          {"password", MosquittoBroker::Password},
          {"tollen", {{"base", "power"}}}}}}.dump();
    start();
    ASSERT_TRUE(waitForPayload("info", "FakeModel"));
    // The info document follows the subscriptions on the service's connection.
    const std::string machine = "power/psu/status/state_machine";

    struct Case {
        const char* payload;
        int parks;
    };
    for (const Case& c : {Case{R"({"message":"RUNNING"})", 0}, Case{R"({"message":"SHUTDOWN"})", 1},
                          Case{R"({"other":"SHUTDOWN"})", 1}, Case{R"({"message":"SHUTDOWN"})", 2}}) {
        ASSERT_TRUE(observer->publish(machine, c.payload));
        // A request behind it on the same connection is answered after it was handled.
        EXPECT_EQ(rpc("status/get", std::string("after-") + c.payload)["completed"], true);
        EXPECT_EQ(device->parks.load(), c.parks) << c.payload;
    }
}

} // namespace
} // namespace corvane::test
