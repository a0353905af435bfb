#include "dispensers/PrintStatus.h"

#include <gtest/gtest.h>

#include <stdexcept>

using zelmo::Corvane::Dispensers::fromStr;
using zelmo::Corvane::Dispensers::PrintStatus;
using zelmo::Corvane::Dispensers::toStr;

namespace {

struct Named {
    int value;
    const char* name;
};

class PrintStatusNames : public ::testing::TestWithParam<Named> {};

TEST_P(PrintStatusNames, RoundTrip) {
    const auto [value, name] = GetParam();
    EXPECT_EQ(toStr(static_cast<PrintStatus>(value)), name);
    EXPECT_EQ(static_cast<int>(fromStr(name)), value);
}

INSTANTIATE_TEST_SUITE_P(Table, PrintStatusNames,
                         ::testing::Values(Named{0, "Ok"}, Named{1, "NoPaper"}, Named{2, "JamDetected"},
                                           Named{3, "BadTicketLength"}, Named{4, "PathBlocked"},
                                           Named{6, "LastTicket"}, Named{7, "PaperSlippage"},
                                           Named{8, "InvalidTicket"}, Named{9, "ReelStuck"}));

TEST(PrintStatus, UnassignedValuesHaveAFormattedName) {
    EXPECT_EQ(toStr(static_cast<PrintStatus>(5)), "<unknown-print-status(0x05)>");
    EXPECT_EQ(toStr(static_cast<PrintStatus>(10)), "<unknown-print-status(0x0A)>");
    EXPECT_EQ(toStr(static_cast<PrintStatus>(0xFF)), "<unknown-print-status(0xFF)>");
}

TEST(PrintStatus, FromStrIsExactAndThrowsOtherwise) {
    for (const char* text : {"ok", "OK", "", " Ok", "Ok ", "<unknown-print-status(0x05)>"}) {
        try {
            fromStr(text);
            ADD_FAILURE() << "no exception for '" << text << "'";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), std::string("unknown print status: ") + text);
        }
    }
}

} // namespace
