#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace elgsim {

using Bytes = std::vector<uint8_t>;

// Lower-case hex without separators.
std::string toHex(const Bytes& bytes);
std::string toHex(const std::string& text);
// Accepts upper or lower case; false on odd length or a non-hex digit.
bool fromHex(const std::string& text, Bytes& out);

} // namespace elgsim
