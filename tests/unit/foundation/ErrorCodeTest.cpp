#include "ErrorCode.h"
#include "Helpers.h"

#include <gtest/gtest.h>

#include <future>

using zelmo::Corvane::ErrorCode;
using zelmo::Corvane::make_error_code;

namespace {

const char* const kNames[] = {"Success",
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
                              "CommandNotSupported"};

TEST(ErrorCode, EveryValueHasItsMessage) {
    for (int value = 0; value <= 28; ++value) {
        const std::error_code ec = make_error_code(static_cast<ErrorCode>(value));
        EXPECT_EQ(ec.value(), value);
        EXPECT_EQ(ec.message(), kNames[value]);
        EXPECT_STREQ(ec.category().name(), "corvane");
    }
    EXPECT_EQ(make_error_code(ErrorCode::WrongDeviceConfiguration).message(), "WrongDeviceConfiguration");
}

TEST(ErrorCode, ValuesOutsideTheTableAreUnrecognized) {
    for (int value : {29, -1, 1000, INT32_MIN})
        EXPECT_EQ(zelmo::Corvane::corvaneCategory().message(value), "(unrecognized error)") << value;
}

TEST(ErrorCode, ComparisonFollowsValueAndCategory) {
    EXPECT_EQ(make_error_code(ErrorCode::JammingError), make_error_code(ErrorCode(5)));
    EXPECT_NE(make_error_code(ErrorCode::JammingError), std::error_code(5, std::generic_category()));
    EXPECT_NE(make_error_code(ErrorCode::JammingError), make_error_code(ErrorCode::TicketInMouth));
    EXPECT_FALSE(make_error_code(ErrorCode::Success));
    EXPECT_TRUE(make_error_code(ErrorCode::Timeout));
    const std::error_code implicit = ErrorCode::Timeout;
    EXPECT_EQ(implicit, make_error_code(ErrorCode::Timeout));
}

TEST(ErrorCode, OneCategoryInstanceAcrossThreads) {
    auto other = std::async(std::launch::async, [] { return &zelmo::Corvane::corvaneCategory(); });
    EXPECT_EQ(other.get(), &zelmo::Corvane::corvaneCategory());
    EXPECT_EQ(&make_error_code(ErrorCode::Timeout).category(), &zelmo::Corvane::corvaneCategory());
}

TEST(ErrorCode, EcToStringCollapsesLateCodes) {
    using zelmo::Corvane::Helpers::ecToString;
    EXPECT_EQ(ecToString(ErrorCode::Success), "Success");
    EXPECT_EQ(ecToString(ErrorCode::UnknownError), "UnknownError");
    for (int value = 2; value <= 21; ++value)
        EXPECT_EQ(ecToString(ErrorCode(value)), kNames[value]) << value;
    for (int value : {22, 25, 28, 29, 100, -1})
        EXPECT_EQ(ecToString(ErrorCode(value)), "UnknownError") << value;
    EXPECT_EQ(make_error_code(ErrorCode(25)).message(), "FirmwareUpdated");
}

} // namespace
