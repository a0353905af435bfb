#include "dispensers/PrintStatus.h"

#include "String.h"

#include <array>
#include <stdexcept>
#include <utility>

namespace zelmo::Corvane::Dispensers {

namespace {

constexpr std::array<std::pair<PrintStatus, const char*>, 9> kNames{{
    {PrintStatus::Ok, "Ok"},
    {PrintStatus::NoPaper, "NoPaper"},
    {PrintStatus::JamDetected, "JamDetected"},
    {PrintStatus::BadTicketLength, "BadTicketLength"},
    {PrintStatus::PathBlocked, "PathBlocked"},
    {PrintStatus::LastTicket, "LastTicket"},
    {PrintStatus::PaperSlippage, "PaperSlippage"},
    {PrintStatus::InvalidTicket, "InvalidTicket"},
    {PrintStatus::ReelStuck, "ReelStuck"},
}};

} // namespace

std::string toStr(PrintStatus status) {
    for (const auto& [value, name] : kNames) {
        if (value == status)
            return name;
    }
    return String::format("<unknown-print-status(0x%02X)>", static_cast<unsigned>(status) & 0xFFu);
}

PrintStatus fromStr(const std::string& text) {
    for (const auto& [value, name] : kNames) {
        if (text == name)
            return value;
    }
    throw std::runtime_error(String::format("unknown print status: %s", text.c_str()));
}

} // namespace zelmo::Corvane::Dispensers
