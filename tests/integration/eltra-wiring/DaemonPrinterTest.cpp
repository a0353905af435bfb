// The built daemon against a real broker and the printer simulator: the whole road of a request.

#include "DaemonProcess.h"
#include "ElgSimulator.h"
#include "MosquittoBroker.h"
#include "MqttTestClient.h"
#include "S19.h"
#include "SimulatedPrinter.h"

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

using namespace corvane::test;
using json = nlohmann::json;
namespace fs = std::filesystem;

constexpr const char* kBase = "zelmo/tvm/paperticket/dispenser";
// Installations run with the printer's real pauses (10.5 s for firmware, 11 s for fonts).
constexpr std::chrono::seconds kInstallLimit{90};

const char* const kTicket = R"([
    {"type": "text", "data": {"font": 2, "xpos": 10, "ypos": 20, "text": "Hello"}},
    {"type": "barcode", "data": {"code": "EAN13", "xpos": 10, "ypos": 20, "height": 80, "barcode": "5901234123457"}},
    {"type": "qr", "data": {"xpos": 100, "ypos": 200, "qr": "HELLO WORLD"}},
    {"type": "line", "data": {"fromX": 0, "fromY": 300, "toX": 500, "toY": 300}},
    {"type": "square", "data": {"fromX": 10, "fromY": 400, "toX": 200, "toY": 350, "width": 3}}
])";

const char* const kLayout = "51006400c861HELLO WORLD\n"
                            "102000a001400001Hello\n"
                            "014000a00140000505901234123457\n"
                            "30000012c01f4012c02\n"
                            "4000a019000c8015e03\n";

class DaemonWithPrinter : public testing::Test {
protected:
    // The daemon runs from a private copy, so its "firmwares" and "resources" folders are the test's.
    void SetUp() override {
        binary = dir.file("corvane");
        fs::copy_file(DaemonProcess::defaultBinary(), binary);
        fs::permissions(binary, fs::perms::owner_all);
        const json config = {{"mqtt",
                              {{"url", broker.url()},
                               {"username", MosquittoBroker::Username},
                               {"password", MosquittoBroker::Password}}}};
        std::ofstream(dir.file("corvane.json")) << config.dump(4);
        observer = std::make_unique<MqttTestClient>(broker.url(), "observer");
        ASSERT_TRUE(observer->connect());
        ASSERT_TRUE(observer->subscribe(std::string(kBase) + "/#"));
    }

    void startDaemon() {
        daemon = std::make_unique<DaemonProcess>(
            dir.path(), std::vector<std::string>{"-f", "corvane.json", "-d", sim.link()}, binary);
    }

    // Waits until the daemon has its printer: a status document with an active device.
    void waitForPrinter(std::chrono::seconds limit = std::chrono::seconds(30)) {
        const auto status = observer->waitFor(
            [&](const ReceivedMessage& m) {
                return m.topic == topic("status") && json::parse(m.payload)["device"]["active"] == true;
            },
            0, limit);
        ASSERT_TRUE(status) << daemon->log();
    }

    std::string topic(const std::string& relative) const { return std::string(kBase) + "/" + relative; }

    json rpc(const std::string& command, const std::string& id, const std::string& payload) {
        const auto from = observer->mark();
        EXPECT_TRUE(observer->publish(topic(command + "/request/" + id), payload));
        const auto response =
            observer->waitFor(topic(command + "/response/" + id), from, std::chrono::seconds(30));
        EXPECT_TRUE(response) << command << " not answered\n" << daemon->log();
        return response ? json::parse(response->payload) : json();
    }

    // Waits for a status document whose print statistics count `count` of `outcome`.
    bool waitForPrintStat(const std::string& outcome, unsigned count, std::size_t from) {
        return observer
            ->waitFor(
                [&](const ReceivedMessage& m) {
                    if (m.topic != topic("status"))
                        return false;
                    const json stats = json::parse(m.payload)["device"]["printStats"];
                    return stats.is_object() && stats.value(outcome, 0u) == count;
                },
                from)
            .has_value();
    }

    // The percent values of the progress events since from, in order.
    std::vector<int> percents(const std::string& relative, std::size_t from) {
        std::vector<int> values;
        for (const auto& m : observer->messages(topic(relative), from))
            values.push_back(json::parse(m.payload)["percent"].get<int>());
        return values;
    }

    std::vector<std::string> bootPackets() {
        std::vector<std::string> packets;
        for (const auto& line : sim.records())
            if (line.rfind("boot packet ", 0) == 0)
                packets.push_back(line.substr(12));
        return packets;
    }

    MosquittoBroker broker;
    ScratchDir dir;
    ElgSimulator sim;
    std::string binary;
    std::unique_ptr<MqttTestClient> observer;
    std::unique_ptr<DaemonProcess> daemon;
};

TEST_F(DaemonWithPrinter, PrintRequestsArePrintedAndCounted) {
    startDaemon();
    waitForPrinter();
    sim.clear();

    auto from = observer->mark();
    EXPECT_EQ(rpc("print", "t1", kTicket).dump(), R"({"completed":true})");
    std::vector<std::string> layouts;
    for (const auto& frame : sim.frames())
        if (frame.letter == 'L')
            layouts.push_back(frame.data);
    EXPECT_THAT(layouts, testing::ElementsAre(kLayout));
    EXPECT_TRUE(waitForPrintStat("Ok", 1, from)) << daemon->log();

    sim.command("reply L 010");
    from = observer->mark();
    EXPECT_EQ(rpc("print", "t2", kTicket).dump(),
              R"({"completed":false,"error":{"code":12,"description":"NoMoreTickets"}})");
    EXPECT_TRUE(waitForPrintStat("NoPaper", 1, from)) << daemon->log();
}

TEST_F(DaemonWithPrinter, FirmwareUpgradeRequestStreamsProgressAndCompletes) {
    const std::string image = dir.file("image.s19");
    S19().realistic(60).save(image);
    startDaemon();
    waitForPrinter();
    sim.clear();

    const auto from = observer->mark();
    EXPECT_EQ(rpc("firmwareUpgrade", "fw1", json{{"firmware", image}}.dump()).dump(),
              R"({"completed":true})");
    const auto finished = observer->waitFor(topic("firmwareUpgrade/finished/fw1"), from, kInstallLimit);
    ASSERT_TRUE(finished) << daemon->log();
    EXPECT_EQ(finished->payload, R"({"completed":true})");

    const auto values = percents("firmwareUpgrade/progress", from);
    ASSERT_FALSE(values.empty());
    for (std::size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(values[i], static_cast<int>(i) + 1);
    EXPECT_EQ(bootPackets(), hexPackets(image));
    // The printer is back in service.
    EXPECT_EQ(rpc("print", "after", "[]").dump(), R"({"completed":true})");
}

TEST_F(DaemonWithPrinter, ResourceLoadRequestStreamsProgressAndCompletes) {
    const fs::path pack = fs::path(dir.path()) / "pack";
    fs::create_directories(pack);
    std::ofstream(pack / "a.fnt") << std::string(700, 'a');
    std::ofstream(pack / "b.fnt") << std::string(90, 'b');
    std::ofstream(pack / "setup.dat") << "G\n0,0,0\n0,0,0\n0,0,0\nF\n1,a.fnt,0\n2,b.fnt,0\n";
    startDaemon();
    waitForPrinter();
    sim.clear();

    const auto from = observer->mark();
    EXPECT_EQ(rpc("resourcesLoad", "r1", json{{"resources", pack.string()}}.dump()).dump(),
              R"({"completed":true})");
    const auto finished = observer->waitFor(topic("resourceLoads/finished/r1"), from, kInstallLimit);
    ASSERT_TRUE(finished) << daemon->log();
    EXPECT_EQ(finished->payload, R"({"completed":true})");
    // Eleven steps (3 + 4 per font), one event each.
    EXPECT_THAT(percents("resourceLoads/progress", from),
                testing::ElementsAre(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11));

    std::size_t fonts = 0;
    for (const auto& line : sim.records())
        fonts += line.rfind("font ", 0) == 0;
    EXPECT_EQ(fonts, 2u);
}

TEST_F(DaemonWithPrinter, FirmwareInItsFolderIsInstalledAtFirstStart) {
    const fs::path firmwares = fs::path(dir.path()) / "firmwares";
    fs::create_directories(firmwares);
    const fs::path image = firmwares / "release-2.s19";
    S19().realistic(30).save(image.string());
    const auto expected = hexPackets(image.string());

    startDaemon();
    ASSERT_TRUE(daemon->waitForLog("Moved 'release-2.s19'", 1, kInstallLimit)) << daemon->log();
    EXPECT_TRUE(fs::exists(firmwares / "accepted" / "release-2.s19"));
    EXPECT_FALSE(fs::exists(image));
    EXPECT_EQ(bootPackets(), expected);
    waitForPrinter(std::chrono::seconds(60));
}

} // namespace
