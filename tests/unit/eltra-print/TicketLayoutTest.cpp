#include "dispensers/eltra/TicketLayout.h"

#include "ErrorCode.h"
#include "Helpers.h"
#include "LogCapture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using nlohmann::json;
using zelmo::Corvane::ErrorCode;
using zelmo::Corvane::Dispensers::EltraSistemi::ELG150191::TicketLayout;

json textData(const std::string& mode) {
    json data = {{"font", 2}, {"xpos", 300}, {"ypos", 16}, {"text", "Hello"}};
    if (!mode.empty())
        data["mode"] = mode;
    return data;
}

json segment(int fromX, int fromY, int toX, int toY) {
    return {{"fromX", fromX}, {"fromY", fromY}, {"toX", toX}, {"toY", toY}};
}

json element(const std::string& type, const json& data) {
    return {{"type", type}, {"data", data}};
}

// --- text ---------------------------------------------------------------------------------------------

TEST(TicketLayoutText, RotatedRightOnLatinCodePageAddsMarginAndKeepsBytes) {
    TicketLayout layout(850);
    std::string out;
    ASSERT_EQ(layout.textToStr(textData("right"), out), ErrorCode::Success);
    EXPECT_EQ(out, std::string("102") + "0145" + "0010" + "010E" + "1" + "Hello");
}

TEST(TicketLayoutText, ArabicCodePageSetsRightToLeftFontBitAndAngle) {
    TicketLayout layout(1256);
    json data = textData("right");
    data["font"] = 4;
    data["text"] = "\xd8\xb3\xd9\x84\xd8\xa7\xd9\x85"; // four Arabic letters
    std::string out;
    ASSERT_EQ(layout.textToStr(data, out), ErrorCode::Success);
    const std::string converted = zelmo::Corvane::Helpers::utf8ToIbmCcsid(data["text"], 1256);
    ASSERT_EQ(converted.size(), 4u);
    EXPECT_EQ(out, std::string("184") + "0145" + "0010" + "005A" + "1" + converted);
}

struct Orientation {
    json mode;
    const char* angle;
    const char* direction;
    const char* x;
};

class TicketLayoutOrientation : public testing::TestWithParam<Orientation> {};

TEST_P(TicketLayoutOrientation, GivesAngleDirectionAndX) {
    const auto& param = GetParam();
    json data = textData("");
    if (!param.mode.is_null())
        data["mode"] = param.mode;
    std::string out;
    ASSERT_EQ(TicketLayout(850).textToStr(data, out), ErrorCode::Success);
    EXPECT_EQ(out, std::string("102") + param.x + "0010" + param.angle + param.direction + "Hello");
}

INSTANTIATE_TEST_SUITE_P(
    Modes, TicketLayoutOrientation,
    testing::Values(Orientation{json(), "0000", "1", "012c"}, Orientation{"portrait", "0000", "1", "012c"},
                    Orientation{"front", "0000", "1", "012c"}, Orientation{7, "0000", "1", "012c"},
                    Orientation{"back", "0000", "2", "012c"}, Orientation{"left", "010E", "2", "0145"},
                    Orientation{"right", "010E", "1", "0145"},
                    Orientation{"landscape", "010E", "1", "0145"}));

TEST(TicketLayoutText, RotatedLeftRightToLeftUsesNinetyDegrees) {
    json data = textData("left");
    data["font"] = 8;
    std::string out;
    ASSERT_EQ(TicketLayout(1256).textToStr(data, out), ErrorCode::Success);
    EXPECT_EQ(out, std::string("188") + "0145" + "0010" + "005A" + "2" + "Hello");
}

TEST(TicketLayoutText, UnknownModeIsRefused) {
    std::string out = "untouched";
    EXPECT_EQ(TicketLayout(850).textToStr(textData("sideways"), out), ErrorCode::MalformedRequest);
    EXPECT_EQ(out, "untouched");
}

TEST(TicketLayoutText, ArabicCodePageWithOtherFontSendsUtf8Unchanged) {
    json data = textData("right");
    data["text"] = "\xd8\xb3";
    std::string out;
    ASSERT_EQ(TicketLayout(1256).textToStr(data, out), ErrorCode::Success);
    EXPECT_EQ(out, std::string("102") + "0145" + "0010" + "010E" + "1" + "\xd8\xb3");
}

TEST(TicketLayoutText, FontUsesLowEightBits) {
    json data = textData("");
    data["font"] = 0x104;
    std::string out;
    ASSERT_EQ(TicketLayout(1256).textToStr(data, out), ErrorCode::Success);
    EXPECT_EQ(out.substr(0, 3), "184");
}

TEST(TicketLayoutText, GreekCodePageConvertsForLowFontsOnly) {
    json data = textData("");
    data["text"] = "\xce\xa9"; // Greek capital omega
    data["font"] = 1;
    std::string out;
    ASSERT_EQ(TicketLayout(813).textToStr(data, out), ErrorCode::Success);
    EXPECT_EQ(out, std::string("101") + "012c" + "0010" + "0000" + "1" + "\xd9");

    data["font"] = 3;
    ASSERT_EQ(TicketLayout(813).textToStr(data, out), ErrorCode::Success);
    EXPECT_EQ(out, std::string("103") + "012c" + "0010" + "0000" + "1" + "\xce\xa9");
}

TEST(TicketLayoutText, CharacterMissingFromCodePageBecomes0x80) {
    json data = textData("");
    data["font"] = 0;
    data["text"] = "A\xd8\xb3"; // an Arabic letter has no place in the Greek code page
    std::string out;
    ASSERT_EQ(TicketLayout(813).textToStr(data, out), ErrorCode::Success);
    EXPECT_EQ(out, std::string("100") + "012c" + "0010" + "0000" + "1" + "A\x80");
}

TEST(TicketLayoutText, MissingOrMistypedFieldsAreMalformed) {
    const TicketLayout layout(850);
    for (const char* key : {"font", "xpos", "ypos", "text"}) {
        json missing = textData("");
        missing.erase(key);
        json mistyped = textData("");
        mistyped[key] = key == std::string("text") ? json(12) : json("12");
        std::string out;
        EXPECT_EQ(layout.textToStr(missing, out), ErrorCode::MalformedRequest) << key;
        EXPECT_EQ(layout.textToStr(mistyped, out), ErrorCode::MalformedRequest) << key;
    }
    std::string out;
    EXPECT_EQ(layout.textToStr(json::array(), out), ErrorCode::MalformedRequest);
}

TEST(TicketLayoutText, PositionsOutsideFourHexDigitsAreRefused) {
    const TicketLayout layout(850);
    const std::vector<std::pair<std::string, json>> cases = {
        {"xpos", 65536}, {"xpos", -1},   {"ypos", 65536},
        {"ypos", -16},   {"xpos", 1e12}, {"ypos", 18446744073709551615u},
    };
    for (const auto& [key, value] : cases) {
        json data = textData("");
        data[key] = value;
        std::string out;
        EXPECT_EQ(layout.textToStr(data, out), ErrorCode::ValueOutOfRange) << key << "=" << value;
    }
    json data = textData("right");
    data["xpos"] = 65511; // 65511 + 25 no longer fits
    std::string out;
    EXPECT_EQ(layout.textToStr(data, out), ErrorCode::ValueOutOfRange);
}

TEST(TicketLayoutText, NewlineInTextIsRefusedSoNoElementCanBeForged) {
    json data = textData("");
    data["text"] = "a\n30000000000000000ff";
    std::string out;
    EXPECT_EQ(TicketLayout(850).textToStr(data, out), ErrorCode::MalformedRequest);
}

TEST(TicketLayoutText, LogsTheLineWithTheDriverPrefix) {
    LogCapture capture;
    std::string out;
    ASSERT_EQ(TicketLayout(850).textToStr(textData("right"), out), ErrorCode::Success);
    EXPECT_THAT(capture.text(),
                testing::HasSubstr("[EltraSistemi::ELG150191::Driver] Printing text 10201450010010E1Hello."));
}

// --- barcode ------------------------------------------------------------------------------------------

json barcodeData() {
    return {{"code", "EAN13"}, {"xpos", 10}, {"ypos", 20}, {"height", 80}, {"barcode", "5901234123457"}};
}

TEST(TicketLayoutBarcode, Ean13WithDefaults) {
    LogCapture capture;
    std::string out;
    ASSERT_EQ(TicketLayout(850).barcodeToStr(barcodeData(), out), ErrorCode::Success);
    EXPECT_EQ(out, "014000a0014000050" + std::string("5901234123457"));
    EXPECT_THAT(capture.text(), testing::HasSubstr("[EltraSistemi::ELG150191::Driver] Printing barcode "
                                                   "014000a00140000505901234123457."));
}

TEST(TicketLayoutBarcode, SymbologyCharacters) {
    const std::vector<std::pair<std::string, char>> table = {
        {"I", '0'}, {"128B", '2'}, {"128C", '3'}, {"EAN13", '4'}, {"EAN8", '5'}};
    for (const auto& [name, character] : table) {
        json data = barcodeData();
        data["code"] = name;
        std::string out;
        ASSERT_EQ(TicketLayout(850).barcodeToStr(data, out), ErrorCode::Success);
        EXPECT_EQ(out[2], character) << name;
    }
}

TEST(TicketLayoutBarcode, VerifyAndMode) {
    json data = barcodeData();
    data["verify"] = false;
    data["mode"] = "portrait";
    std::string out;
    ASSERT_EQ(TicketLayout(850).barcodeToStr(data, out), ErrorCode::Success);
    EXPECT_EQ(out, "004000a0014010E50" + std::string("5901234123457"));

    data["verify"] = true;
    data["mode"] = "landscape";
    ASSERT_EQ(TicketLayout(850).barcodeToStr(data, out), ErrorCode::Success);
    EXPECT_EQ(out.substr(0, 17), "014000a0014000050");
}

TEST(TicketLayoutBarcode, UnknownSymbologyThrowsOutOfRange) {
    json data = barcodeData();
    data["code"] = "QR";
    std::string out;
    EXPECT_THROW(TicketLayout(850).barcodeToStr(data, out), std::out_of_range);
}

TEST(TicketLayoutBarcode, MistypedTextValuesRaiseJsonTypeErrors) {
    for (const char* key : {"code", "barcode", "verify"}) {
        json data = barcodeData();
        data[key] = key == std::string("verify") ? json("yes") : json(4);
        std::string out;
        EXPECT_THROW(TicketLayout(850).barcodeToStr(data, out), json::type_error) << key;
    }
}

TEST(TicketLayoutBarcode, MissingFieldsAreMalformedAndOversizedHeightRefused) {
    for (const char* key : {"code", "xpos", "ypos", "height", "barcode"}) {
        json data = barcodeData();
        data.erase(key);
        std::string out;
        EXPECT_EQ(TicketLayout(850).barcodeToStr(data, out), ErrorCode::MalformedRequest) << key;
    }
    json data = barcodeData();
    data["height"] = 256;
    std::string out;
    EXPECT_EQ(TicketLayout(850).barcodeToStr(data, out), ErrorCode::ValueOutOfRange);
}

// --- QR -----------------------------------------------------------------------------------------------

struct QrCase {
    std::string content;
    char mode;
    const char* name;
};

class TicketLayoutQrMode : public testing::TestWithParam<QrCase> {};

TEST_P(TicketLayoutQrMode, ChosenFromContent) {
    const auto& param = GetParam();
    LogCapture capture;
    std::string out;
    ASSERT_EQ(TicketLayout(850).qrToStr({{"xpos", 16}, {"ypos", 32}, {"qr", param.content}}, out),
              ErrorCode::Success);
    const std::string line = std::string("51") + "0010" + "0020" + "6" + param.mode + param.content;
    EXPECT_EQ(out, line);
    EXPECT_THAT(capture.text(), testing::HasSubstr(std::string("Printing QR (mode=") + param.name + ") '" +
                                                   line + "' [35 31 30 30 31 30 30 30 32 30 36 "));
}

INSTANTIATE_TEST_SUITE_P(Contents, TicketLayoutQrMode,
                         testing::Values(QrCase{"HELLO WORLD", '1', "alphanumeric"},
                                         QrCase{"12345", '2', "numeric"}, QrCase{"hello", '0', "binary"},
                                         QrCase{"", '2', "numeric"},
                                         QrCase{"$%*+-./: AZ09", '1', "alphanumeric"},
                                         QrCase{"https://x.y/?a=1", '0', "binary"}));

TEST(TicketLayoutQr, VersionIsDecimalAndDefaultsToSix) {
    std::string out;
    ASSERT_EQ(TicketLayout(850).qrToStr({{"xpos", 0}, {"ypos", 0}, {"qr", "1"}, {"version", 12}}, out),
              ErrorCode::Success);
    EXPECT_EQ(out, "510000000012" + std::string("21"));

    out.clear();
    ASSERT_EQ(TicketLayout(850).qrToStr({{"xpos", 0}, {"ypos", 0}, {"qr", "1"}, {"version", "12"}}, out),
              ErrorCode::Success);
    EXPECT_EQ(out, "51000000006" + std::string("21"));
}

TEST(TicketLayoutQr, AppendsToOut) {
    std::string out = "prefix:";
    ASSERT_EQ(TicketLayout(850).qrToStr({{"xpos", 0}, {"ypos", 0}, {"qr", "7"}}, out), ErrorCode::Success);
    EXPECT_EQ(out, "prefix:51000000006" + std::string("27"));
}

TEST(TicketLayoutQr, RequestErrors) {
    std::string out;
    EXPECT_EQ(TicketLayout(850).qrToStr({{"xpos", 0}, {"qr", "7"}}, out), ErrorCode::MalformedRequest);
    EXPECT_EQ(TicketLayout(850).qrToStr({{"xpos", 0}, {"ypos", "0"}, {"qr", "7"}}, out),
              ErrorCode::MalformedRequest);
    EXPECT_EQ(TicketLayout(850).qrToStr({{"xpos", 0}, {"ypos", 0}}, out), ErrorCode::MalformedRequest);
    EXPECT_EQ(TicketLayout(850).qrToStr({{"xpos", 65536}, {"ypos", 0}, {"qr", "7"}}, out),
              ErrorCode::ValueOutOfRange);
    EXPECT_THROW(TicketLayout(850).qrToStr({{"xpos", 0}, {"ypos", 0}, {"qr", 7}}, out), json::type_error);
}

// --- line and square ----------------------------------------------------------------------------------

TEST(TicketLayoutSegment, LineAndSquareLines) {
    const TicketLayout layout(850);
    json data = segment(1, 200, 300, 4);
    data["width"] = 5;
    std::string out;
    ASSERT_EQ(layout.lineToStr(data, out), ErrorCode::Success);
    EXPECT_EQ(out, "30001" + std::string("00c8") + "012c" + "0004" + "05");
    ASSERT_EQ(layout.squareToStr(data, out), ErrorCode::Success);
    EXPECT_EQ(out, "40001" + std::string("00c8") + "012c" + "0004" + "05");
}

TEST(TicketLayoutSegment, SquareMustRunRightAndUpwardsLineMayRunAnyWay) {
    const TicketLayout layout(850);
    std::string out;
    EXPECT_EQ(layout.squareToStr(segment(10, 10, 20, 30), out), ErrorCode::ValueOutOfRange); // fromY < toY
    EXPECT_EQ(layout.squareToStr(segment(20, 30, 10, 10), out), ErrorCode::ValueOutOfRange); // toX < fromX
    EXPECT_EQ(layout.lineToStr(segment(10, 10, 20, 30), out), ErrorCode::Success);
    EXPECT_EQ(out, "3000a000a0014001e02");
    EXPECT_EQ(layout.lineToStr(segment(20, 30, 10, 10), out), ErrorCode::Success);
    EXPECT_EQ(layout.squareToStr(segment(10, 30, 10, 30), out), ErrorCode::Success);
}

class TicketLayoutWidth : public testing::TestWithParam<std::pair<json, std::string>> {};

TEST_P(TicketLayoutWidth, Field) {
    json data = segment(0, 0, 0, 0);
    if (!GetParam().first.is_null())
        data["width"] = GetParam().first;
    std::string out;
    ASSERT_EQ(TicketLayout(850).lineToStr(data, out), ErrorCode::Success);
    EXPECT_EQ(out.substr(17), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, TicketLayoutWidth,
    testing::Values(std::pair<json, std::string>{json(), "02"}, std::pair<json, std::string>{0, "02"},
                    std::pair<json, std::string>{-4, "02"}, std::pair<json, std::string>{"9", "02"},
                    std::pair<json, std::string>{7, "07"}, std::pair<json, std::string>{255, "ff"},
                    std::pair<json, std::string>{256, "00"}, std::pair<json, std::string>{300, "2c"}));

TEST(TicketLayoutSegment, RequestErrors) {
    const TicketLayout layout(850);
    for (const char* key : {"fromX", "fromY", "toX", "toY"}) {
        json data = segment(0, 0, 0, 0);
        data[key] = "1";
        std::string out;
        EXPECT_EQ(layout.lineToStr(data, out), ErrorCode::MalformedRequest) << key;
        data.erase(key);
        EXPECT_EQ(layout.squareToStr(data, out), ErrorCode::MalformedRequest) << key;
    }
    std::string out;
    EXPECT_EQ(layout.lineToStr(segment(-1, 0, 0, 0), out), ErrorCode::ValueOutOfRange);
    EXPECT_EQ(layout.lineToStr(segment(0, 0, 65536, 0), out), ErrorCode::ValueOutOfRange);
}

TEST(TicketLayoutSegment, LogsLineAndSquare) {
    LogCapture capture;
    std::string out;
    ASSERT_EQ(TicketLayout(850).lineToStr(segment(1, 2, 3, 4), out), ErrorCode::Success);
    ASSERT_EQ(TicketLayout(850).squareToStr(segment(1, 4, 3, 2), out), ErrorCode::Success);
    const std::string text = capture.text();
    EXPECT_THAT(text,
                testing::HasSubstr("[EltraSistemi::ELG150191::Driver] Printing line 3000100020003000402."));
    EXPECT_THAT(text,
                testing::HasSubstr("[EltraSistemi::ELG150191::Driver] Printing square 4000100040003000202."));
}

// --- parseDimention -----------------------------------------------------------------------------------

TEST(TicketLayoutDimension, HexFields) {
    std::string out;
    ASSERT_EQ(TicketLayout::parseDimention(0x7d, 4, out), ErrorCode::Success);
    EXPECT_EQ(out, "007d");
    ASSERT_EQ(TicketLayout::parseDimention(0, 2, out), ErrorCode::Success);
    EXPECT_EQ(out, "00");
    ASSERT_EQ(TicketLayout::parseDimention(0xffff, 4, out), ErrorCode::Success);
    EXPECT_EQ(out, "ffff");
    EXPECT_EQ(TicketLayout::parseDimention(0x10000, 4, out), ErrorCode::ValueOutOfRange);
    EXPECT_EQ(TicketLayout::parseDimention(-1, 4, out), ErrorCode::ValueOutOfRange);
}

// --- whole tickets ------------------------------------------------------------------------------------

const json kLine = element("line", segment(1, 2, 3, 4));
const json kText = element("text", {{"font", 2}, {"xpos", 5}, {"ypos", 6}, {"text", "Hi"}});
const json kFirstQr = element("qr", {{"xpos", 7}, {"ypos", 8}, {"qr", "FIRST"}});
const json kSecondQr = element("qr", {{"xpos", 9}, {"ypos", 10}, {"qr", "SECOND"}});

TEST(TicketLayoutRender, FirstQrGoesFirstAndFurtherQrsAreDropped) {
    std::string layout;
    ASSERT_EQ(TicketLayout(850).render(json::array({kLine, kFirstQr, kText, kSecondQr}), layout),
              ErrorCode::Success);
    EXPECT_EQ(layout,
              "51000700086" + std::string("1FIRST\n") + "3000100020003000402\n" + "1020005000600001Hi\n");
}

TEST(TicketLayoutRender, AllElementKinds) {
    const json ticket = json::array({
        element("text", {{"font", 2}, {"xpos", 300}, {"ypos", 16}, {"text", "Hello"}, {"mode", "right"}}),
        element("barcode", barcodeData()),
        element("square", segment(0, 100, 200, 0)),
        kFirstQr,
    });
    std::string layout;
    ASSERT_EQ(TicketLayout(850).render(ticket, layout), ErrorCode::Success);
    EXPECT_EQ(layout, "51000700086" + std::string("1FIRST\n") + "10201450010010E1Hello\n" +
                          "014000a00140000505901234123457\n" + "40000006400c8000002\n");
}

TEST(TicketLayoutRender, EmptyArrayGivesEmptyLayout) {
    std::string layout = "stale";
    EXPECT_EQ(TicketLayout(850).render(json::array(), layout), ErrorCode::Success);
    EXPECT_EQ(layout, "");
}

TEST(TicketLayoutRender, ObjectMembersAreTheElementsInKeyOrder) {
    std::string layout;
    ASSERT_EQ(TicketLayout(850).render({{"b", kText}, {"a", kLine}}, layout), ErrorCode::Success);
    EXPECT_EQ(layout, "3000100020003000402\n1020005000600001Hi\n");
}

TEST(TicketLayoutRender, RequestErrorsLeaveLayoutEmpty) {
    const std::vector<json> tickets = {
        json::array({kLine, element("circle", segment(0, 0, 0, 0))}),
        json::array({kLine, {{"type", "line"}}}),
        json::array({kLine, {{"data", segment(0, 0, 0, 0)}}}),
        json::array({kLine, 5}),
        json::array({kFirstQr, json{{"type", "qr"}}}),
        json::array(
            {kLine, element("text", {{"font", 2}, {"xpos", 5}, {"ypos", 6}, {"text", "x"}, {"mode", "up"}})}),
        json("not a ticket"),
        json(),
    };
    for (const auto& ticket : tickets) {
        std::string layout = "stale";
        EXPECT_EQ(TicketLayout(850).render(ticket, layout), ErrorCode::MalformedRequest) << ticket.dump();
        EXPECT_EQ(layout, "") << ticket.dump();
    }
}

TEST(TicketLayoutRender, QrFailureEndsRenderingBeforeOtherElements) {
    const json badQr = element("qr", {{"xpos", -1}, {"ypos", 0}, {"qr", "X"}});
    std::string layout;
    EXPECT_EQ(TicketLayout(850).render(json::array({{{"type", "circle"}}, badQr}), layout),
              ErrorCode::ValueOutOfRange);
    EXPECT_EQ(TicketLayout(850).render(json::array({kLine, element("square", segment(0, 0, 1, 1))}), layout),
              ErrorCode::ValueOutOfRange);
}

TEST(TicketLayoutRender, ExceptionsReachTheCaller) {
    json unknownSymbology = barcodeData();
    unknownSymbology["code"] = "PDF417";
    std::string layout;
    EXPECT_THROW(TicketLayout(850).render(json::array({kLine, element("barcode", unknownSymbology)}), layout),
                 std::out_of_range);
    EXPECT_THROW(TicketLayout(850).render(json::array({json{{"type", 3}, {"data", json::object()}}}), layout),
                 json::type_error);
}

} // namespace
