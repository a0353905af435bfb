#pragma once

#include "Logger.h"

#include <nlohmann/json.hpp>

#include <string>
#include <system_error>

namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191 {

// Turns a JSON ticket description into the ELG15019 layout text: one line per element (text, barcode,
// QR code, line, square), fields as fixed-width hexadecimal. Pure: it touches nothing but the code page
// it was built with and the log (which carries the driver's prefix).
class TicketLayout : public Logger {
public:
    explicit TicketLayout(unsigned ccsid);

    // Renders the elements (an array, or an object whose member values are the elements) into layout,
    // each line followed by '\n'. The first QR element goes first; further QR elements are dropped.
    // A request error (MalformedRequest, ValueOutOfRange) leaves layout empty. JSON type errors and an
    // unknown barcode symbology (std::out_of_range) propagate as exceptions.
    std::error_code render(const nlohmann::json& elements, std::string& layout) const;

    // Each renders one element's "data" object; out receives the line without its newline
    // (qrToStr appends to out).
    std::error_code textToStr(const nlohmann::json& data, std::string& out) const;
    std::error_code barcodeToStr(const nlohmann::json& data, std::string& out) const;
    std::error_code qrToStr(const nlohmann::json& data, std::string& out) const;
    std::error_code lineToStr(const nlohmann::json& data, std::string& out) const;
    std::error_code squareToStr(const nlohmann::json& data, std::string& out) const;

    // value as width lower-case hex digits; ValueOutOfRange when negative or too wide.
    static std::error_code parseDimention(int value, int width, std::string& out);

    unsigned ccsid() const { return mCcsid; }

private:
    std::error_code segmentToStr(const nlohmann::json& data, char kind, std::string& out) const;

    unsigned mCcsid;
};

} // namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191
