#include "dispensers/eltra/Dimension.h"

#include "ErrorCode.h"

namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191 {

std::error_code parseDimention(int value, int width, std::string& out) {
    if (value < 0 || width < 0)
        return ErrorCode::ValueOutOfRange;
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned rest = static_cast<unsigned>(value); rest != 0; rest >>= 4)
        text.insert(text.begin(), digits[rest & 0xF]);
    if (static_cast<int>(text.size()) > width)
        return ErrorCode::ValueOutOfRange;
    out = std::string(static_cast<std::size_t>(width) - text.size(), '0') + text;
    return ErrorCode::Success;
}

} // namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191
