#pragma once

#include <string>

namespace zelmo::Corvane::Dispensers {

// Outcome of one print; value 5 is not assigned.
enum class PrintStatus : unsigned char {
    Ok = 0,
    NoPaper = 1,
    JamDetected = 2,
    BadTicketLength = 3,
    PathBlocked = 4,
    LastTicket = 6,
    PaperSlippage = 7,
    InvalidTicket = 8,
    ReelStuck = 9,
};

enum ConnectionType : int { Serial = 0, Usb = 1 };

std::string toStr(PrintStatus status);
// Throws std::runtime_error("unknown print status: <text>") for a name not in the table.
PrintStatus fromStr(const std::string& text);

} // namespace zelmo::Corvane::Dispensers
