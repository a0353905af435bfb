#include "String.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace String {

std::string format(const char* fmt, ...) {
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    const int length = std::vsnprintf(buffer, sizeof(buffer), fmt, args);
    va_end(args);
    if (length < 0)
        return {};
    if (static_cast<std::size_t>(length) < sizeof(buffer))
        return std::string(buffer, static_cast<std::size_t>(length));

    std::string result(static_cast<std::size_t>(length) + 1, '\0');
    va_start(args, fmt);
    const int again = std::vsnprintf(result.data(), result.size(), fmt, args);
    va_end(args);
    if (again < 0)
        return {};
    result.resize(static_cast<std::size_t>(again));
    return result;
}

std::string toHex(const std::vector<unsigned char>& bytes) {
    return toHex(bytes.data(), bytes.size());
}

std::string toHex(const unsigned char* data, std::size_t length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    if (!data)
        return text;
    text.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0x0F];
    }
    return text;
}

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    throw std::invalid_argument("Not a hex digit!");
}
} // namespace

std::vector<unsigned char> fromHex(const std::string& text) {
    if (text.size() % 2 != 0)
        throw std::invalid_argument("Odd length!");
    std::vector<unsigned char> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>((hexValue(text[i]) << 4) | hexValue(text[i + 1])));
    return bytes;
}

int64_t toInteger(const std::string& text, int base) {
    if (base != 8 && base != 16)
        base = 10;
    return static_cast<int64_t>(std::strtoll(text.c_str(), nullptr, base));
}

std::string fromInteger(int64_t value, int base, int width, char fill) {
    std::ostringstream out;
    if (base == 16)
        out << std::hex << std::nouppercase;
    out << std::setw(width) << std::setfill(fill) << value;
    return out.str();
}

double toDouble(const std::string& text) {
    std::istringstream in(text);
    double value = 0;
    if (!(in >> value))
        return 0;
    return value;
}

std::string fromDouble(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

bool toBool(const std::string& text) {
    if (text.empty())
        return false;
    if (text[0] == 'y' || text[0] == 'Y')
        return true;
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower == "on" || lower == "true" || lower == "high" || lower == "1";
}

std::string fromBool(bool value) {
    return value ? "true" : "false";
}

bool isNumeric(const std::string& text) {
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    if (i == text.size())
        return false;
    return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(i), text.end(),
                       [](unsigned char c) { return std::isdigit(c) != 0; });
}

std::vector<std::string> tokenizeV(const std::string& text, const std::string& delimiters) {
    std::vector<std::string> pieces;
    std::size_t start = text.find_first_not_of(delimiters);
    while (start != std::string::npos) {
        const std::size_t end = text.find_first_of(delimiters, start);
        pieces.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = text.find_first_not_of(delimiters, end);
    }
    return pieces;
}

std::list<std::string> tokenize(const std::string& text, const std::string& delimiters) {
    const auto pieces = tokenizeV(text, delimiters);
    return {pieces.begin(), pieces.end()};
}

} // namespace String
