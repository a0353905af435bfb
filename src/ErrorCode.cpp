#include "ErrorCode.h"

#include <array>

namespace zelmo::Corvane {

namespace {

constexpr std::array<const char*, 29> kMessages = {
    "Success",
    "UnknownError",
    "ModuleFailedToAcknowledge",
    "ValueOutOfRange",
    "MalformedResponse",
    "JammingError",
    "TicketInMouth",
    "NoTicketInMouth",
    "TicketAlreadyDisposed",
    "TicketNotDisposed",
    "TicketAlreadyAccepted",
    "TicketNotAccepted",
    "NoMoreTickets",
    "NoCartridge",
    "TicketUnderAntena",
    "NoTicketUnderAntena",
    "TicketInTransport",
    "FontNotPresent",
    "MalformedRequest",
    "WrongDeviceConfiguration",
    "WrongPrinterConfiguration",
    "Timeout",
    "SecondFromLastTicket",
    "LastTicket",
    "SamRemoved",
    "FirmwareUpdated",
    "ResourcesUpdated",
    "UsbError",
    "CommandNotSupported",
};

const CorvaneErrorCategory& getCategory() {
    static const CorvaneErrorCategory category;
    return category;
}

} // namespace

const char* CorvaneErrorCategory::name() const noexcept {
    return "corvane";
}

std::string CorvaneErrorCategory::message(int value) const {
    if (value < 0 || static_cast<std::size_t>(value) >= kMessages.size())
        return "(unrecognized error)";
    return kMessages[static_cast<std::size_t>(value)];
}

const std::error_category& corvaneCategory() {
    return getCategory();
}

std::error_code make_error_code(ErrorCode e) {
    return {static_cast<int>(e), getCategory()};
}

} // namespace zelmo::Corvane
