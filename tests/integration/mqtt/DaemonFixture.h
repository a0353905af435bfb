#pragma once

#include "DaemonProcess.h"
#include "MosquittoBroker.h"
#include "MqttTestClient.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace corvane::test {

// The built daemon against a real broker, without a dispenser, plus a client that sees everything
// under the base topic.
class DaemonFixture : public testing::Test {
protected:
    using json = nlohmann::json;
    static constexpr const char* Base = "zelmo/tvm/paperticket/dispenser";

    // The "mqtt" section the daemon starts with; extra members are merged in.
    void writeConfig(const json& mqttExtra = json::object(), const json& topLevel = json::object()) {
        json mqtt = {{"url", broker.url()},
                     {"username", MosquittoBroker::Username},
                     {"password", MosquittoBroker::Password}};
        mqtt.update(mqttExtra);
        json doc = topLevel;
        doc["mqtt"] = mqtt;
        std::ofstream(dir.file("corvane.json")) << doc.dump(4);
    }

    json readConfigFile() const {
        std::ifstream in(dir.file("corvane.json"));
        std::stringstream text;
        text << in.rdbuf();
        return json::parse(text.str());
    }

    void startDaemon() {
        daemon = std::make_unique<DaemonProcess>(
            dir.path(), std::vector<std::string>{"-f", "corvane.json", "-d", dir.file("no-such-device")});
    }

    // Connects the observing client and subscribes it to every topic.
    void observe(const std::string& filter = std::string(Base) + "/#") {
        observer = std::make_unique<MqttTestClient>(broker.url(), "observer");
        ASSERT_TRUE(observer->connect());
        ASSERT_TRUE(observer->subscribe(filter));
    }

    // Starts with the default configuration and waits until the daemon published its documents.
    void startAndObserve(const json& mqttExtra = json::object()) {
        writeConfig(mqttExtra);
        observe();
        const auto from = observer->mark();
        startDaemon();
        ASSERT_TRUE(observer->waitFor(topic("metrics"), from)) << daemon->log();
    }

    std::string topic(const std::string& relative) const { return std::string(Base) + "/" + relative; }

    // Sends an RPC request and returns the parsed response.
    json rpc(const std::string& command, const std::string& id, const std::string& payload = "") {
        const auto from = observer->mark();
        EXPECT_TRUE(observer->publish(topic(command + "/request/" + id), payload));
        const auto response = observer->waitFor(topic(command + "/response/" + id), from);
        EXPECT_TRUE(response) << command << " not answered\n" << daemon->log();
        if (!response)
            return json();
        EXPECT_EQ(response->qos, 0);
        EXPECT_FALSE(response->retained);
        return json::parse(response->payload);
    }

    // The retained document on a topic, as a client that subscribes now sees it.
    std::optional<ReceivedMessage> retained(const std::string& relative) {
        MqttTestClient late(broker.url(), "late-" + relative);
        if (!late.connect() || !late.subscribe(topic(relative)))
            return std::nullopt;
        return late.waitFor(topic(relative));
    }

    MosquittoBroker broker;
    ScratchDir dir;
    std::unique_ptr<MqttTestClient> observer;
    std::unique_ptr<DaemonProcess> daemon;
};

inline std::string noDriverStatus(bool service) {
    return std::string(
               R"({"device":{"active":false,"printStats":{"BadTicketLength":0,"InvalidTicket":0,)"
               R"("JamDetected":0,"LastTicket":0,"NoPaper":0,"Ok":0,"PaperSlippage":0,"PathBlocked":0,)"
               R"("ReelStuck":0}},"service":)") +
           (service ? "true" : "false") + "}";
}

inline constexpr const char* NoDriverInfo =
    R"({"device":{"firmware":"","manufacturer":"","model":"","type":""},)"
    R"("service":{"type":"dispenser","version":"1.0.34"}})";

inline constexpr const char* FreshMetrics =
    R"({"print":{"BadTicketLength":0,"InvalidTicket":0,"JamDetected":0,"LastTicket":0,"NoPaper":0,"Ok":0,)"
    R"("PaperSlippage":0,"PathBlocked":0,"ReelStuck":0}})";

} // namespace corvane::test
