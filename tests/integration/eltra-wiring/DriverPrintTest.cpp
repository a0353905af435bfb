#include "SimulatedPrinter.h"

#include "ErrorCode.h"
#include "Status.h"

#include <gmock/gmock.h>

#include <optional>
#include <stdexcept>

using namespace corvane::test;
using ::testing::HasSubstr;
using zelmo::Corvane::ErrorCode;
using zelmo::Corvane::Status;
using zelmo::Corvane::Dispensers::PrintStatus;
using json = nlohmann::json;

namespace {

const json kTicket = json::parse(R"([
    {"type": "text", "data": {"font": 2, "xpos": 10, "ypos": 20, "text": "Hello"}},
    {"type": "barcode", "data": {"code": "EAN13", "xpos": 10, "ypos": 20, "height": 80, "barcode": "5901234123457"}},
    {"type": "qr", "data": {"xpos": 100, "ypos": 200, "qr": "HELLO WORLD"}},
    {"type": "line", "data": {"fromX": 0, "fromY": 300, "toX": 500, "toY": 300}},
    {"type": "square", "data": {"fromX": 10, "fromY": 400, "toX": 200, "toY": 350, "width": 3}}
])");

const std::string kLayout = "51"
                            "0064"
                            "00c8"
                            "6"
                            "1"
                            "HELLO WORLD\n"
                            "102000a001400001Hello\n"
                            "014000a00140000505901234123457\n"
                            "30000012c01f4012c02\n"
                            "4000a019000c8015e03\n";

unsigned long count(const zelmo::Corvane::Metrics& metrics, PrintStatus status) {
    const auto counts = metrics.getPrintMetrics();
    const auto found = counts.find(status);
    return found == counts.end() ? 0 : found->second;
}

std::vector<ElgSimulator::Frame> layoutFrames(ElgSimulator& sim) {
    std::vector<ElgSimulator::Frame> frames;
    for (const auto& frame : sim.frames())
        if (frame.letter == 'L')
            frames.push_back(frame);
    return frames;
}

class DriverPrint : public SimulatedPrinter {};

TEST_F(DriverPrint, SendsTheLayoutTextWithQrFirst) {
    EXPECT_EQ(driver->print(kTicket), std::error_code(ErrorCode::Success));
    const auto frames = layoutFrames(sim);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, kLayout);
    EXPECT_TRUE(frames[0].lrcOk);
    EXPECT_EQ(count(driver->getMetrics(), PrintStatus::Ok), 1u);
}

TEST_F(DriverPrint, ObjectMembersAreTheElementsInKeyOrder) {
    const json ticket = {
        {"b", {{"type", "line"}, {"data", {{"fromX", 1}, {"fromY", 2}, {"toX", 3}, {"toY", 4}}}}},
        {"a", {{"type", "text"}, {"data", {{"font", 1}, {"xpos", 0}, {"ypos", 0}, {"text", "A"}}}}}};
    EXPECT_FALSE(driver->print(ticket));
    const auto frames = layoutFrames(sim);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, "1010000000000001A\n"
                              "300010002000300040"
                              "2\n");
}

TEST_F(DriverPrint, EmptyTicketSendsEmptyLayout) {
    EXPECT_FALSE(driver->print(json::array()));
    const auto frames = layoutFrames(sim);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, "");
}

struct ReplyCase {
    const char* code;
    ErrorCode result;
    std::optional<PrintStatus> counted;
    bool jammed;
};

class DriverPrintReply : public SimulatedPrinter, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(DriverPrintReply, MapsCodeToResultAndMetrics) {
    const ReplyCase& c = GetParam();
    sim.command(std::string("reply L ") + c.code);
    captureLog();
    EXPECT_EQ(driver->print(kTicket), std::error_code(c.result));
    const std::string log = capturedLog();

    const auto counts = driver->getMetrics().getPrintMetrics();
    unsigned long total = 0;
    for (const auto& [status, n] : counts)
        total += n;
    if (c.counted) {
        EXPECT_EQ(total, 1u);
        EXPECT_EQ(count(driver->getMetrics(), *c.counted), 1u);
    } else {
        EXPECT_EQ(total, 0u);
    }
    EXPECT_EQ(driver->isJammed(), c.jammed);
    if (c.result == ErrorCode::Success)
        EXPECT_THAT(log, HasSubstr("Ticket printed successfully"));
    else
        EXPECT_THAT(log, HasSubstr("Device reported: " + std::error_code(c.result).message()));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, DriverPrintReply,
    ::testing::Values(ReplyCase{"000", ErrorCode::Success, PrintStatus::Ok, false},
                      ReplyCase{"999", ErrorCode::Success, PrintStatus::Ok, false},
                      ReplyCase{"010", ErrorCode::NoMoreTickets, PrintStatus::NoPaper, false},
                      ReplyCase{"007", ErrorCode::JammingError, PrintStatus::JamDetected, true},
                      ReplyCase{"020", ErrorCode::JammingError, PrintStatus::JamDetected, true},
                      ReplyCase{"100", ErrorCode::JammingError, PrintStatus::JamDetected, true},
                      ReplyCase{"008", ErrorCode::TicketInMouth, PrintStatus::PathBlocked, false},
                      ReplyCase{"030", ErrorCode::TicketInTransport, std::nullopt, false},
                      ReplyCase{"040", ErrorCode::ValueOutOfRange, std::nullopt, false},
                      ReplyCase{"070", ErrorCode::FontNotPresent, std::nullopt, false},
                      ReplyCase{"500", ErrorCode::MalformedRequest, std::nullopt, false},
                      ReplyCase{"900", ErrorCode::WrongPrinterConfiguration, std::nullopt, false}));

TEST_F(DriverPrint, LastTicketIsReportedAsJam) {
    sim.command("reply L 007");
    captureLog();
    EXPECT_EQ(driver->print(kTicket), ErrorCode::JammingError);
    EXPECT_THAT(capturedLog(), HasSubstr("Last ticket detected , this should never happen the printer has "
                                         "probably jammed"));
    driver->clearJamming();
    EXPECT_FALSE(driver->isJammed());
}

TEST_F(DriverPrint, SecondFromLastMarksTheActiveReel) {
    writeFile(".lastTickets", "foo:true\nreel1LastTicket:false\nreel2LastTicket:false\n");
    sim.command("reply L 006");
    EXPECT_EQ(driver->print(kTicket), std::error_code(ErrorCode::Success));
    EXPECT_EQ(readFile(".lastTickets"), "foo:true\nreel1LastTicket:true\nreel2LastTicket:false\n");
    EXPECT_EQ(count(driver->getMetrics(), PrintStatus::Ok), 1u);
}

TEST_F(DriverPrint, SecondFromLastOnFolderTwoMarksReelTwo) {
    driver->setConfig({{"folder", 2}});
    sim.command("reply L 006");
    EXPECT_EQ(driver->print(kTicket), std::error_code(ErrorCode::Success));
    EXPECT_EQ(readFile(".lastTickets"), "reel1LastTicket:false\nreel2LastTicket:true\n");
}

// The whole life of a reel: the mark hides the last ticket, the empty reel clears it, the reload
// clears the metrics once.
TEST_F(DriverPrint, MarkedReelRunsEmptyAndIsReloaded) {
    sim.command("status 000000000");
    ASSERT_TRUE(driver->getStatus());
    sim.command("reply L 006");
    ASSERT_FALSE(driver->print(kTicket));
    ASSERT_EQ(count(driver->getMetrics(), PrintStatus::Ok), 1u);

    auto status = driver->getStatus();
    ASSERT_TRUE(status);
    EXPECT_FALSE(status->getSensors()[Status::Reel1Paper]);
    EXPECT_EQ(status->getReelLevels()[0], Status::Empty);
    EXPECT_EQ(count(driver->getMetrics(), PrintStatus::Ok), 1u);

    sim.command("status 000000001");
    ASSERT_TRUE(driver->getStatus());
    EXPECT_EQ(readFile(".lastTickets"), "reel1LastTicket:false\nreel2LastTicket:false\n");

    sim.command("status 000000000");
    captureLog();
    status = driver->getStatus();
    ASSERT_TRUE(status);
    ASSERT_TRUE(driver->getStatus());
    const std::string log = capturedLog();
    EXPECT_TRUE(status->getSensors()[Status::Reel1Paper]);
    EXPECT_EQ(count(driver->getMetrics(), PrintStatus::Ok), 0u);
    const auto first = log.find("Reel loaded, clearing metrics...");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find("Reel loaded", first + 1), std::string::npos);
}

TEST_F(DriverPrint, RequestErrorsSendNothing) {
    const std::vector<json> tickets = {
        json::parse(R"([{"type": "text"}])"),
        json::parse(R"([{"type": "circle", "data": {}}])"),
        json::parse(R"([{"type": "line", "data": {"fromX": 0, "fromY": 0, "toX": 65536, "toY": 0}}])"),
        json::parse(R"([{"type": "square", "data": {"fromX": 0, "fromY": 0, "toX": 5, "toY": 9}}])"),
        json::parse(R"([{"type": "qr", "data": {"xpos": -1, "ypos": 0, "qr": "1"}}])"),
        json::parse(
            R"([{"type": "text", "data": {"font": 1, "xpos": 0, "ypos": 0, "text": "a", "mode": "up"}}])"),
        json::parse(R"("text")"),
    };
    for (const auto& ticket : tickets) {
        const std::error_code ec = driver->print(ticket);
        EXPECT_TRUE(ec == ErrorCode::MalformedRequest || ec == ErrorCode::ValueOutOfRange) << ticket.dump();
    }
    EXPECT_TRUE(layoutFrames(sim).empty());
    for (const auto& [status, n] : driver->getMetrics().getPrintMetrics())
        EXPECT_EQ(n, 0u) << zelmo::Corvane::Dispensers::toStr(status);
}

// Each content field goes into the link frame as it is: a control byte would end the frame early and
// let the rest of the field reach the printer as a command of its own.
TEST_F(DriverPrint, ControlCharactersInContentAreRefusedAndNothingIsSent) {
    const std::vector<char> controls = {'\x00', '\x01', '\x02', '\x03', '\x04', '\x06', '\x10',
                                        '\x12', '\x15', '\x1B', '\x1F', '\x7F', '\r',   '\t'};
    const std::size_t before = sim.frames().size();
    for (const char control : controls) {
        const std::string content = std::string("12") + control + "\x12\x02" + "\x1f|";
        const std::vector<json> tickets = {
            {{{"type", "text"}, {"data", {{"font", 2}, {"xpos", 0}, {"ypos", 0}, {"text", content}}}}},
            {{{"type", "barcode"},
              {"data", {{"code", "128B"}, {"xpos", 0}, {"ypos", 0}, {"height", 1}, {"barcode", content}}}}},
            {{{"type", "qr"}, {"data", {{"xpos", 0}, {"ypos", 0}, {"qr", content}}}}},
        };
        for (const auto& ticket : tickets)
            EXPECT_EQ(driver->print(ticket), ErrorCode::MalformedRequest)
                << "byte " << static_cast<int>(control) << " in " << ticket.dump();
    }
    EXPECT_EQ(sim.frames().size(), before) << "no frame of any kind reached the printer";
    for (const auto& [status, n] : driver->getMetrics().getPrintMetrics())
        EXPECT_EQ(n, 0u) << zelmo::Corvane::Dispensers::toStr(status);
}

TEST_F(DriverPrint, PrintableAndHighBytesStillPrint) {
    const json ticket = {
        {{"type", "text"}, {"data", {{"font", 2}, {"xpos", 0}, {"ypos", 0}, {"text", "~ \xc3\xa9 !"}}}}};
    EXPECT_EQ(driver->print(ticket), ErrorCode::Success);
    const auto frames = layoutFrames(sim);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, "1020000000000001~ \xc3\xa9 !\n");
}

TEST_F(DriverPrint, UnknownSymbologyThrowsBeforeAnythingIsSent) {
    const json ticket = json::parse(
        R"([{"type": "barcode", "data": {"code": "UPC", "xpos": 0, "ypos": 0, "height": 1, "barcode": "1"}}])");
    EXPECT_THROW(driver->print(ticket), std::out_of_range);
    EXPECT_TRUE(layoutFrames(sim).empty());
}

TEST_F(DriverPrint, FailedExchangeIsReturnedAndNotCounted) {
    sim.command("nak 15");
    captureLog();
    EXPECT_EQ(driver->print(kTicket), ErrorCode::ModuleFailedToAcknowledge);
    EXPECT_THAT(capturedLog(), HasSubstr("Command execution failed: ModuleFailedToAcknowledge"));
    for (const auto& [status, n] : driver->getMetrics().getPrintMetrics())
        EXPECT_EQ(n, 0u) << zelmo::Corvane::Dispensers::toStr(status);
}

TEST_F(DriverPrint, TextFollowsTheConfiguredCodePage) {
    const json ticket = {
        {{"type", "text"},
         {"data", {{"font", 4}, {"xpos", 300}, {"ypos", 16}, {"mode", "right"}, {"text", "A"}}}}};
    ASSERT_FALSE(driver->print(ticket));
    driver->setConfig({{"ccsid", 850}});
    ASSERT_FALSE(driver->print(ticket));
    const auto frames = layoutFrames(sim);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].data, "1"
                              "84"
                              "0145"
                              "0010"
                              "005A"
                              "1"
                              "A\n");
    EXPECT_EQ(frames[1].data, "1"
                              "04"
                              "0145"
                              "0010"
                              "010E"
                              "1"
                              "A\n");
}

} // namespace
