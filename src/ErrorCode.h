#pragma once

#include <string>
#include <system_error>

namespace zelmo::Corvane {

// The daemon's error numbers; the enumerator names are also the message texts.
enum class ErrorCode : int {
    Success = 0,
    UnknownError = 1,
    ModuleFailedToAcknowledge = 2,
    ValueOutOfRange = 3,
    MalformedResponse = 4,
    JammingError = 5,
    TicketInMouth = 6,
    NoTicketInMouth = 7,
    TicketAlreadyDisposed = 8,
    TicketNotDisposed = 9,
    TicketAlreadyAccepted = 10,
    TicketNotAccepted = 11,
    NoMoreTickets = 12,
    NoCartridge = 13,
    TicketUnderAntena = 14,
    NoTicketUnderAntena = 15,
    TicketInTransport = 16,
    FontNotPresent = 17,
    MalformedRequest = 18,
    WrongDeviceConfiguration = 19,
    WrongPrinterConfiguration = 20,
    Timeout = 21,
    SecondFromLastTicket = 22,
    LastTicket = 23,
    SamRemoved = 24,
    FirmwareUpdated = 25,
    ResourcesUpdated = 26,
    UsbError = 27,
    CommandNotSupported = 28,
};

class CorvaneErrorCategory : public std::error_category {
public:
    const char* name() const noexcept override;
    std::string message(int value) const override;
};

const std::error_category& corvaneCategory();
std::error_code make_error_code(ErrorCode e);

} // namespace zelmo::Corvane

template <>
struct std::is_error_code_enum<zelmo::Corvane::ErrorCode> : std::true_type {};
