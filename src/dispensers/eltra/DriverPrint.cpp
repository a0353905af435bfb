#include "dispensers/eltra/Driver.h"

#include "Helpers.h"
#include "dispensers/eltra/TicketLayout.h"

namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191 {

std::error_code Driver::print(const nlohmann::json& ticket) {
    std::string layout;
    if (const std::error_code ec =
            TicketLayout(static_cast<unsigned>(mConfig.ccsid())).render(ticket, layout))
        return ec;

    std::string response;
    std::string code;
    if (const std::error_code ec = execute(response, code, 'L', layout)) {
        log(Log::Error, "Command execution failed: %s", ec.message().c_str());
        return ec;
    }

    ErrorCode result = reportToEc(code);
    if (result == ErrorCode::LastTicket) {
        log(Log::Error, "Last ticket detected , this should never happen the printer has probably jammed");
        result = ErrorCode::JammingError;
    } else if (result == ErrorCode::SecondFromLastTicket) {
        // The printer does not report the last ticket itself: remember it for the status query.
        auto marks = Helpers::readValuesFromFile(lastTicketsFile);
        marks[mConfig.folder() == 2 ? "reel2LastTicket" : "reel1LastTicket"] = true;
        Helpers::writeValuesToFile(lastTicketsFile, marks);
        result = ErrorCode::Success;
    }
    if (result == ErrorCode::JammingError)
        jammed = true;

    // Codes outside the table, the printer's ordinary success among them, count as a good print.
    if (result == ErrorCode::Success || result == ErrorCode::UnknownError) {
        log(Log::Info, "Ticket printed successfully");
        metrics.pushPrintStatus(PrintStatus::Ok);
        return ErrorCode::Success;
    }

    const std::error_code ec = result;
    log(Log::Error, "Device reported: %s", ec.message().c_str());
    switch (result) {
    case ErrorCode::JammingError:
        metrics.pushPrintStatus(PrintStatus::JamDetected);
        break;
    case ErrorCode::NoMoreTickets:
        metrics.pushPrintStatus(PrintStatus::NoPaper);
        break;
    case ErrorCode::TicketInMouth:
        metrics.pushPrintStatus(PrintStatus::PathBlocked);
        break;
    default:
        break;
    }
    return ec;
}

} // namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191
