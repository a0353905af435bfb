#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

namespace String {
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string toHex(const std::vector<unsigned char>& bytes);
std::string toHex(const unsigned char* data, std::size_t length);
// Throws std::invalid_argument("Odd length!") or ("Not a hex digit!").
std::vector<unsigned char> fromHex(const std::string& text);
// base 8 or 16; any other value means 10.
int64_t toInteger(const std::string& text, int base = 10);
std::string fromInteger(int64_t value, int base = 10, int width = 1, char fill = '0');
double toDouble(const std::string& text);
std::string fromDouble(double value);
bool toBool(const std::string& text);
std::string fromBool(bool value);
bool isNumeric(const std::string& text);
std::list<std::string> tokenize(const std::string& text, const std::string& delimiters);
std::vector<std::string> tokenizeV(const std::string& text, const std::string& delimiters);
} // namespace String
