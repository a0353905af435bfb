#include "DaemonFixture.h"

namespace corvane::test {
namespace {

using json = nlohmann::json;

struct RpcCase {
    const char* command;
    const char* payload;
    const char* answer; // compact JSON
};

class DaemonRpc : public DaemonFixture, public testing::WithParamInterface<RpcCase> {};

const char* const kNoDriver =
    R"({"completed":false,"error":{"code":19,"description":"WrongDeviceConfiguration"}})";
const char* const kMalformed = R"({"completed":false,"error":{"code":18,"description":"MalformedRequest"}})";

TEST_P(DaemonRpc, AnswersOnTheResponseTopic) {
    startAndObserve();
    const json answer = rpc(GetParam().command, "42", GetParam().payload);
    EXPECT_EQ(answer.dump(), GetParam().answer) << daemon->log();
}

INSTANTIATE_TEST_SUITE_P(WithoutDriver, DaemonRpc,
                         testing::Values(RpcCase{"clearJamming", "", kNoDriver},
                                         RpcCase{"dispose", "", kNoDriver}, RpcCase{"eject", "", kNoDriver},
                                         RpcCase{"park", "", kNoDriver}, RpcCase{"moveInner", "", kNoDriver},
                                         RpcCase{"metrics/clear", "", kNoDriver},
                                         RpcCase{"print", R"({"elements":[]})", kNoDriver},
                                         RpcCase{"reset", "", R"({"completed":true})"},
                                         RpcCase{"firmwareUpgrade", R"({"firmware":5})", kMalformed},
                                         RpcCase{"firmwareUpgrade", R"({"crc16":"1a2b"})", kMalformed},
                                         RpcCase{"firmwareUpgrade", "{not json", kMalformed},
                                         RpcCase{"firmwareUpgrade", "[1,2]", kMalformed},
                                         RpcCase{"resourcesLoad", R"({"resources":true})", kMalformed},
                                         RpcCase{"resourcesLoad", "\xff\xfe", kMalformed}));

TEST_F(DaemonRpc, StatusRpcCarriesTheStatusDocument) {
    startAndObserve();
    const json answer = rpc("status/get", "9");
    json expected = json::parse(noDriverStatus(true));
    expected["completed"] = true;
    EXPECT_EQ(answer, expected);
}

TEST_F(DaemonRpc, EmptyFirmwareAndResourceRequestsAnswerCodeOne) {
    startAndObserve();
    for (const char* command : {"firmwareUpgrade", "resourcesLoad"}) {
        const json answer = rpc(command, "e");
        EXPECT_EQ(answer["completed"], false);
        EXPECT_EQ(answer["error"]["code"], 1) << command;
    }
}

TEST_F(DaemonRpc, ChecksumThatIsNoHexNumberAnswersCodeOne) {
    startAndObserve();
    const json answer = rpc("firmwareUpgrade", "1", R"({"firmware":"/nowhere.s19","crc16":"xyz"})");
    EXPECT_EQ(answer.dump(), R"({"completed":false,"error":{"code":1,"description":"stoul"}})");
}

TEST_F(DaemonRpc, AcceptedFirmwareUpgradeReportsItsEndUnderTheRequestId) {
    startAndObserve();
    const auto from = observer->mark();
    const json answer = rpc("firmwareUpgrade", "abc", R"({"firmware":"/nowhere.s19","crc16":6699})");
    EXPECT_EQ(answer["completed"], true) << answer.dump();
    const auto finished = observer->waitFor(topic("firmwareUpgrade/finished/abc"), from);
    ASSERT_TRUE(finished) << daemon->log();
    const json end = json::parse(finished->payload);
    EXPECT_TRUE(end.contains("completed"));
    if (end["completed"] == false) {
        EXPECT_TRUE(end["error"].contains("what"));
    }
}

TEST_F(DaemonRpc, PrintWithBadPayloadsAnswersCodeOneAndKeepsAnswering) {
    startAndObserve();
    for (const std::string& payload : {std::string("\xc3\x28"), std::string("not json"), std::string(""),
                                       std::string("{\"text\":\"\xff\"}")}) {
        const json answer = rpc("print", "p", payload);
        EXPECT_EQ(answer["completed"], false);
        EXPECT_EQ(answer["error"]["code"], 1);
    }
    EXPECT_EQ(rpc("status/get", "after")["completed"], true);
}

TEST_F(DaemonRpc, RequestIdsWithOddCharactersAreEchoed) {
    startAndObserve();
    EXPECT_EQ(rpc("reset", "id with spaces & ünïcødé")["completed"], true);
}

} // namespace
} // namespace corvane::test
