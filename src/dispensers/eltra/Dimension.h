#pragma once

#include <string>
#include <system_error>

namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191 {

// Formats value as a hexadecimal field of the printer's layout: lower-case digits, left-padded with
// '0' to width. ValueOutOfRange (out untouched) when value is negative or needs more digits.
std::error_code parseDimention(int value, int width, std::string& out);

} // namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191
