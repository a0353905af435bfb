#include "dispensers/eltra/Driver.h"

namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191 {

// Ticket printing, firmware upgrade and resource upload are not available yet.

std::error_code Driver::print(const nlohmann::json&) {
    return ErrorCode::CommandNotSupported;
}

std::error_code Driver::firmwareUpgrade(const std::string&, unsigned short) {
    return ErrorCode::CommandNotSupported;
}

std::error_code Driver::loadResources(const EltraSistemi::Resources&) {
    return ErrorCode::CommandNotSupported;
}

} // namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191
