#include "dispensers/eltra/TicketLayout.h"

#include "ErrorCode.h"
#include "Helpers.h"
#include "dispensers/eltra/Dimension.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <map>

namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191 {

namespace {

using nlohmann::json;

// A JSON number as a whole number: fractions are cut off, values beyond the 64-bit range are clamped
// (they end as ValueOutOfRange in the field they are meant for).
int64_t wholeNumber(const json& value) {
    if (value.is_number_unsigned()) {
        const uint64_t number = value.get<uint64_t>();
        return number > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(number);
    }
    if (value.is_number_integer()) {
        return value.get<int64_t>();
    }
    const double number = value.get<double>();
    if (std::isnan(number) || number >= 9.2e18) {
        return INT64_MAX;
    }
    if (number <= -9.2e18) {
        return INT64_MIN;
    }
    return static_cast<int64_t>(number);
}

bool hasNumber(const json& data, const char* key) {
    return data.contains(key) && data.at(key).is_number();
}

// One numeric field of the layout; values beyond int are as out of range as a too wide one.
std::error_code hexField(int64_t value, int width, std::string& out) {
    if (value < INT_MIN || value > INT_MAX) {
        return ErrorCode::ValueOutOfRange;
    }
    return TicketLayout::parseDimention(static_cast<int>(value), width, out);
}

// Appends the field to line; false (with ec set) on failure.
bool appendField(const json& value, int64_t offset, int width, std::string& line, std::error_code& ec) {
    std::string field;
    const int64_t number = wholeNumber(value);
    ec = hexField(number > INT64_MAX - offset ? INT64_MAX : number + offset, width, field);
    if (ec) {
        return false;
    }
    line += field;
    return true;
}

// The layout is line based and travels inside one link frame: a newline would split its element and
// start a forged one, and any other control byte (ETX, EOT, STX...) would end the frame early and let
// the rest pass as a command of its own.
bool carriesControl(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return true;
        }
    }
    return false;
}

enum class Orientation { Portrait, Back, Left, Right };

bool orientationOf(const json& data, Orientation& orientation) {
    orientation = Orientation::Portrait;
    if (!data.contains("mode") || !data.at("mode").is_string()) {
        return true;
    }
    static const std::map<std::string, Orientation> modes = {
        {"portrait", Orientation::Portrait}, {"front", Orientation::Portrait},
        {"back", Orientation::Back},         {"left", Orientation::Left},
        {"right", Orientation::Right},       {"landscape", Orientation::Right},
    };
    const auto found = modes.find(data.at("mode").get<std::string>());
    if (found == modes.end()) {
        return false;
    }
    orientation = found->second;
    return true;
}

const std::map<std::string, char> kSymbologies = {
    {"I", '0'}, {"128B", '2'}, {"128C", '3'}, {"EAN13", '4'}, {"EAN8", '5'},
};

bool isQrAlphanumeric(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || c == ' ' || c == '$' || c == '%' || c == '*' ||
           c == '+' || c == '-' || c == '.' || c == '/' || c == ':';
}

} // namespace

TicketLayout::TicketLayout(unsigned ccsid) : Logger("EltraSistemi::ELG150191::Driver"), mCcsid(ccsid) {}

std::error_code TicketLayout::parseDimention(int value, int width, std::string& out) {
    return ELG150191::parseDimention(value, width, out);
}

std::error_code TicketLayout::render(const json& elements, std::string& layout) const {
    log(Log::Info, "Printing paper ticket...");
    layout.clear();
    if (!elements.is_array() && !elements.is_object()) {
        return ErrorCode::MalformedRequest;
    }

    using Renderer = std::error_code (TicketLayout::*)(const json&, std::string&) const;
    static const std::map<std::string, Renderer> handlers = {
        {"barcode", &TicketLayout::barcodeToStr}, {"text", &TicketLayout::textToStr},
        {"line", &TicketLayout::lineToStr},       {"square", &TicketLayout::squareToStr},
        {"qr", &TicketLayout::qrToStr},
    };

    std::string result;
    // The printer takes at most one QR code, and it has to come first.
    for (const auto& element : elements) {
        if (element.is_object() && element.contains("type") && element.contains("data") &&
            element.at("type") == "qr") {
            std::string line;
            if (const auto ec = qrToStr(element.at("data"), line)) {
                return ec;
            }
            result += line + '\n';
            break;
        }
    }

    for (const auto& element : elements) {
        if (!element.is_object() || !element.contains("type") || !element.contains("data")) {
            return ErrorCode::MalformedRequest;
        }
        const auto handler = handlers.find(element.at("type").get<std::string>());
        if (handler == handlers.end()) {
            return ErrorCode::MalformedRequest;
        }
        if (handler->first == "qr") {
            continue;
        }
        std::string line;
        if (const auto ec = (this->*handler->second)(element.at("data"), line)) {
            return ec;
        }
        result += line + '\n';
    }
    layout = std::move(result);
    return ErrorCode::Success;
}

std::error_code TicketLayout::textToStr(const json& data, std::string& out) const {
    if (!hasNumber(data, "font") || !hasNumber(data, "xpos") || !hasNumber(data, "ypos") ||
        !data.contains("text") || !data.at("text").is_string()) {
        return ErrorCode::MalformedRequest;
    }
    Orientation orientation;
    if (!orientationOf(data, orientation)) {
        return ErrorCode::MalformedRequest;
    }

    const unsigned font = static_cast<unsigned>(wholeNumber(data.at("font"))) & 0xFF;
    const bool rightToLeft = mCcsid == 1256 && (font == 0 || font == 4 || font == 8);
    const bool convert = rightToLeft || (mCcsid == 813 && font <= 2);
    const std::string& utf8 = data.at("text").get_ref<const std::string&>();
    const std::string text = convert ? Helpers::utf8ToIbmCcsid(utf8, mCcsid) : utf8;
    if (carriesControl(text)) {
        return ErrorCode::MalformedRequest;
    }

    const bool rotated = orientation == Orientation::Left || orientation == Orientation::Right;
    const char* angle = rotated ? (rightToLeft ? "005A" : "010E") : "0000";
    const char* direction =
        (orientation == Orientation::Back || orientation == Orientation::Left) ? "2" : "1";

    std::string line =
        "1" + Helpers::byteToHex(static_cast<unsigned char>(rightToLeft ? (font | 0x80) : font));
    std::error_code ec;
    if (!appendField(data.at("xpos"), rotated ? 25 : 0, 4, line, ec) ||
        !appendField(data.at("ypos"), 0, 4, line, ec)) {
        return ec;
    }
    line += angle;
    line += direction;
    line += text;
    out = line;
    log(Log::Debug, "Printing text %s.", out.c_str());
    return ErrorCode::Success;
}

std::error_code TicketLayout::barcodeToStr(const json& data, std::string& out) const {
    if (!data.contains("code") || !hasNumber(data, "ypos") || !hasNumber(data, "xpos") ||
        !hasNumber(data, "height") || !data.contains("barcode")) {
        return ErrorCode::MalformedRequest;
    }
    std::string line = "0";
    line += (!data.contains("verify") || data.at("verify").get<bool>()) ? '1' : '0';
    // An unknown symbology is a programming error of the client: std::out_of_range reaches the caller.
    line += kSymbologies.at(data.at("code").get<std::string>());

    std::error_code ec;
    if (!appendField(data.at("xpos"), 0, 4, line, ec) || !appendField(data.at("ypos"), 0, 4, line, ec)) {
        return ec;
    }
    const bool portrait = data.contains("mode") && data.at("mode") == "portrait";
    line += portrait ? "010E" : "0000";
    if (!appendField(data.at("height"), 0, 2, line, ec)) {
        return ec;
    }
    const std::string content = data.at("barcode").get<std::string>();
    if (carriesControl(content)) {
        return ErrorCode::MalformedRequest;
    }
    out = line + content;
    log(Log::Debug, "Printing barcode %s.", out.c_str());
    return ErrorCode::Success;
}

std::error_code TicketLayout::qrToStr(const json& data, std::string& out) const {
    if (!hasNumber(data, "ypos") || !hasNumber(data, "xpos") || !data.contains("qr")) {
        return ErrorCode::MalformedRequest;
    }
    std::string line = "51";
    std::error_code ec;
    if (!appendField(data.at("xpos"), 0, 4, line, ec) || !appendField(data.at("ypos"), 0, 4, line, ec)) {
        return ec;
    }
    const int64_t version = hasNumber(data, "version") ? wholeNumber(data.at("version")) : 6;
    const std::string content = data.at("qr").get<std::string>();
    if (carriesControl(content)) {
        return ErrorCode::MalformedRequest;
    }

    bool numeric = true;
    bool alphanumeric = true;
    for (const char c : content) {
        numeric = numeric && c >= '0' && c <= '9';
        alphanumeric = alphanumeric && isQrAlphanumeric(c);
    }
    const char* modeName = numeric ? "numeric" : alphanumeric ? "alphanumeric" : "binary";
    line += std::to_string(version);
    line += numeric ? '2' : alphanumeric ? '1' : '0';
    line += content;

    out += line;
    log(Log::Debug, "Printing QR (mode=%s) '%s' [%s].", modeName, line.c_str(),
        Helpers::bytesToHex(std::vector<unsigned char>(line.begin(), line.end()), true).c_str());
    return ErrorCode::Success;
}

std::error_code TicketLayout::lineToStr(const json& data, std::string& out) const {
    return segmentToStr(data, '3', out);
}

std::error_code TicketLayout::squareToStr(const json& data, std::string& out) const {
    return segmentToStr(data, '4', out);
}

std::error_code TicketLayout::segmentToStr(const json& data, char kind, std::string& out) const {
    if (!hasNumber(data, "fromX") || !hasNumber(data, "fromY") || !hasNumber(data, "toX") ||
        !hasNumber(data, "toY")) {
        return ErrorCode::MalformedRequest;
    }
    if (kind == '4' && (wholeNumber(data.at("toX")) < wholeNumber(data.at("fromX")) ||
                        wholeNumber(data.at("fromY")) < wholeNumber(data.at("toY")))) {
        return ErrorCode::ValueOutOfRange;
    }
    std::string line(1, kind);
    std::error_code ec;
    for (const char* key : {"fromX", "fromY", "toX", "toY"}) {
        if (!appendField(data.at(key), 0, 4, line, ec)) {
            return ec;
        }
    }
    int64_t width = hasNumber(data, "width") ? wholeNumber(data.at("width")) : 0;
    width = width > 0 ? width % 256 : 2;
    std::string field;
    if ((ec = hexField(width, 2, field))) {
        return ec;
    }
    out = line + field;
    log(Log::Debug, kind == '3' ? "Printing line %s." : "Printing square %s.", out.c_str());
    return ErrorCode::Success;
}

} // namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191
