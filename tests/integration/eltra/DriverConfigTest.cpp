#include "SimulatedPrinter.h"

#include "ErrorCode.h"

#include <gmock/gmock.h>

using namespace corvane::test;
using DriverOnSimulator = SimulatedPrinter;
using ::testing::HasSubstr;
using zelmo::Corvane::ErrorCode;

namespace {

using Sent = std::vector<std::pair<char, std::string>>;

Sent sentFrames(ElgSimulator& sim) {
    Sent sent;
    for (const auto& frame : sim.frames()) {
        EXPECT_TRUE(frame.lrcOk);
        sent.emplace_back(frame.letter, frame.data);
    }
    return sent;
}

struct ConfigCase {
    const char* name;
    const char* json;
    Sent expected;
    ErrorCode result = ErrorCode::Success;
};

class SetConfigSequence : public DriverOnSimulator, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(SetConfigSequence, SendsParametersInOrder) {
    EXPECT_EQ(driver->setConfig(nlohmann::json::parse(GetParam().json)), GetParam().result);
    EXPECT_EQ(sentFrames(sim), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SetConfigSequence,
    ::testing::Values(
        ConfigCase{"Empty", "{}", {{'y', "530001"}}},
        ConfigCase{"Reel1Type",
                   R"({"reel1": {"cutOffsetType": "blackMarkBottom"}})",
                   {{'y', "530001"}, {'y', "390032"}}},
        ConfigCase{
            "Reel2Type", R"({"reel2": {"cutOffsetType": "manual"}})", {{'y', "530001"}, {'y', "390000"}}},
        ConfigCase{"UnknownTypeFallsBack",
                   R"({"reel2": {"cutOffsetType": "diagonal"}})",
                   {{'y', "530001"}, {'y', "390030"}}},
        ConfigCase{"Folder2", R"({"folder": 2})", {{'y', "530001"}, {'K', "02"}, {'y', "2B007d"}}},
        ConfigCase{"Folder1", R"({"folder": 1})", {{'y', "530001"}, {'K', "01"}, {'y', "2B00e8"}}},
        ConfigCase{"FolderAsText", R"({"folder": "2"})", {{'y', "530001"}}},
        ConfigCase{"ThermalTimeTooWide", R"({"thermalTime": 300})", {{'y', "530001"}, {'I', ""}}},
        ConfigCase{"ThermalTime", R"({"thermalTime": 10})", {{'y', "530001"}, {'I', "0a"}}},
        ConfigCase{"ThermalTimeAsText", R"({"thermalTime": "10"})", {{'y', "530001"}}},
        ConfigCase{"QrLow", R"({"qrEcc": "low"})", {{'y', "530001"}, {'y', "200001"}}},
        ConfigCase{"QrHigh", R"({"qrEcc": "high"})", {{'y', "530001"}, {'y', "20FFFF"}}},
        ConfigCase{"QrUnknown", R"({"qrEcc": "medium"})", {{'y', "530001"}, {'y', "20FFFF"}}},
        ConfigCase{"ParamsWithShortEntry",
                   R"({"params": ["AB0001", "12345", "CD0002"]})",
                   {{'y', "530001"}, {'y', "AB0001"}, {'y', "CD0002"}},
                   ErrorCode::MalformedRequest},
        ConfigCase{"Everything",
                   R"({"thermalTime": 7, "qrEcc": "high", "params": ["990001"], "folder": 1,
                       "reel1": {"cutOffset": 16}, "reel2": {"cutOffsetType": "blackMarkBottom"}})",
                   {{'y', "530001"},
                    {'y', "390020"},
                    {'K', "01"},
                    {'y', "2B0010"},
                    {'y', "990001"},
                    {'y', "20FFFF"},
                    {'I', "07"}}}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) { return std::string(info.param.name); });

// A parameter goes into the link frame as it is: a control byte would end the frame early.
TEST_F(DriverOnSimulator, ParameterWithControlCharacterIsRefusedAndNotSent) {
    const std::vector<std::string> params = {std::string("AB\x03"
                                                         "0\x04"
                                                         "1",
                                                         6),
                                             std::string("\0"
                                                         "00001",
                                                         6),
                                             "12\x02"
                                             "34\x7f",
                                             "1234\r\n",
                                             "\x12"
                                             "|0000"};
    for (const auto& param : params) {
        sim.clear();
        EXPECT_EQ(driver->setFirmwareParameter(param), ErrorCode::MalformedRequest);
        EXPECT_TRUE(sim.raw().empty()) << "nothing reaches the line";
    }
    EXPECT_EQ(driver->setFirmwareParameter("AB0001"), ErrorCode::Success);
}

TEST_F(DriverOnSimulator, ShortParameterIsRefusedWithWarning) {
    captureLog();
    EXPECT_EQ(driver->setConfig({{"params", {"12345"}}}), ErrorCode::MalformedRequest);
    EXPECT_THAT(capturedLog(), HasSubstr("param size not 6: '12345'"));
    EXPECT_EQ(driver->setFirmwareParameter("1234567"), ErrorCode::MalformedRequest);
}

TEST_F(DriverOnSimulator, SettingsStayWhenPrinterRefusesThem) {
    sim.command("reply y 010");
    sim.command("reply K 010");
    EXPECT_EQ(driver->setConfig({{"folder", 2}, {"qrEcc", "high"}}), ErrorCode::UnknownError);
    const auto config = driver->getConfig();
    EXPECT_EQ(config["folder"], 2);
    EXPECT_EQ(config["qrEcc"], "high");
}

TEST_F(DriverOnSimulator, NonTextParameterRefusesTheWholeRequestBeforeAnythingIsSent) {
    const auto before = driver->getConfig();
    EXPECT_EQ(
        driver->setConfig(nlohmann::json::parse(R"({"thermalTime": 9, "params": ["AB0001", 5, "CD0002"]})")),
        ErrorCode::MalformedRequest);
    EXPECT_TRUE(sentFrames(sim).empty());
    EXPECT_EQ(driver->getConfig(), before);
}

struct RefusalCase {
    const char* name;
    std::vector<const char*> replies; // simulator "reply" arguments, consumed in command order
    ErrorCode expected;
};

class SetConfigRefusal : public DriverOnSimulator, public ::testing::WithParamInterface<RefusalCase> {};

// Each step's failure used to be dropped: the first one is reported, and the later steps still run.
TEST_P(SetConfigRefusal, ReportsFirstFailureAndSendsTheRest) {
    for (const char* reply : GetParam().replies)
        sim.command(std::string("reply ") + reply);
    EXPECT_EQ(driver->setConfig(nlohmann::json::parse(R"({"thermalTime": 7, "qrEcc": "low", "folder": 1})")),
              GetParam().expected);
    EXPECT_EQ(sentFrames(sim),
              (Sent{{'y', "530001"}, {'K', "01"}, {'y', "2B00e8"}, {'y', "200001"}, {'I', "07"}}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, SetConfigRefusal,
    ::testing::Values(RefusalCase{"None", {}, ErrorCode::Success},
                      RefusalCase{"FirstParameter", {"y 010"}, ErrorCode::UnknownError},
                      RefusalCase{"Folder", {"K 010"}, ErrorCode::ValueOutOfRange},
                      RefusalCase{"ThermalTimeOnly", {"I 010"}, ErrorCode::ValueOutOfRange},
                      RefusalCase{"FirstOfTwoWins", {"K 020", "I 010"}, ErrorCode::UnknownError}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

TEST_F(DriverOnSimulator, UnansweredStepIsReported) {
    sim.command("nak 15");
    EXPECT_EQ(driver->setConfig({{"qrEcc", "low"}}), ErrorCode::ModuleFailedToAcknowledge);
    EXPECT_EQ(driver->getConfig()["qrEcc"], "low");
}

TEST_F(DriverOnSimulator, UnknownQrLevelIsStoredAndWarned) {
    captureLog();
    EXPECT_FALSE(driver->setConfig({{"qrEcc", "medium"}}));
    EXPECT_THAT(capturedLog(), HasSubstr("Unknown QrEcc level 'medium', using default high"));
    EXPECT_EQ(driver->getConfig()["qrEcc"], "medium");
}

struct CommandCase {
    char letter;
    const char* code;
    ErrorCode expected;
};

class FolderAndThermalTime : public DriverOnSimulator, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(FolderAndThermalTime, MapSecondCodeCharacter) {
    sim.command(std::string("reply ") + GetParam().letter + " " + GetParam().code);
    const std::error_code ec = GetParam().letter == 'K' ? driver->setFolder(2) : driver->setThermalTime(6);
    EXPECT_EQ(ec, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, FolderAndThermalTime,
                         ::testing::Values(CommandCase{'K', "000", ErrorCode::Success},
                                           CommandCase{'K', "010", ErrorCode::ValueOutOfRange},
                                           CommandCase{'K', "020", ErrorCode::UnknownError},
                                           CommandCase{'I', "000", ErrorCode::Success},
                                           CommandCase{'I', "010", ErrorCode::ValueOutOfRange},
                                           CommandCase{'I', "090", ErrorCode::UnknownError}));

TEST_F(DriverOnSimulator, FirmwareParameterRefusedByPrinter) {
    sim.command("reply y 010");
    EXPECT_EQ(driver->setFirmwareParameter("530001"), ErrorCode::UnknownError);
    EXPECT_FALSE(driver->setCutOffset("00e8"));
    EXPECT_EQ(sentFrames(sim).back(), std::make_pair('y', std::string("2B00e8")));
}

} // namespace
