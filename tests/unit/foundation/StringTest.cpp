#include "String.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace {

TEST(StringFormat, FormatsArguments) {
    EXPECT_EQ(String::format("%s=%d", "x", 42), "x=42");
    EXPECT_EQ(String::format("%s", ""), "");
}

TEST(StringFormat, HandlesResultsLongerThanTheFirstBuffer) {
    for (std::size_t length : {511u, 512u, 513u, 5000u}) {
        const std::string long_(length, 'q');
        EXPECT_EQ(String::format("%s", long_.c_str()), long_) << length;
        EXPECT_EQ(String::format("<%s>", long_.c_str()), "<" + long_ + ">") << length;
    }
}

TEST(StringHex, ToHexIsUpperCaseWithoutSeparators) {
    EXPECT_EQ(String::toHex(std::vector<unsigned char>{0x4C, 0x0A}), "4C0A");
    EXPECT_EQ(String::toHex(std::vector<unsigned char>{}), "");
    const unsigned char raw[] = {0x00, 0xFF, 0xab};
    EXPECT_EQ(String::toHex(raw, sizeof(raw)), "00FFAB");
}

TEST(StringHex, FromHexAcceptsBothCases) {
    EXPECT_EQ(String::fromHex("0a1B"), (std::vector<unsigned char>{0x0A, 0x1B}));
    EXPECT_TRUE(String::fromHex("").empty());
    EXPECT_EQ(String::fromHex(String::toHex(std::vector<unsigned char>{1, 2, 254})),
              (std::vector<unsigned char>{1, 2, 254}));
}

TEST(StringHex, FromHexRejectsBadInput) {
    struct Case {
        const char* text;
        const char* message;
    };
    for (const Case& c : {Case{"abc", "Odd length!"}, Case{"zz", "Not a hex digit!"},
                          Case{"0g", "Not a hex digit!"}, Case{" 1", "Not a hex digit!"}}) {
        try {
            String::fromHex(c.text);
            ADD_FAILURE() << "no exception for " << c.text;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), c.message) << c.text;
        }
    }
}

TEST(StringInteger, ToInteger) {
    struct Case {
        const char* text;
        int base;
        int64_t expected;
    };
    for (const Case& c : {Case{"1F", 16, 31}, Case{"12abc", 10, 12}, Case{"abc", 10, 0}, Case{"  42", 10, 42},
                          Case{"-17", 10, -17}, Case{"17", 8, 15}, Case{"19", 8, 1}, Case{"10", 2, 10},
                          Case{"ff", 16, 255}, Case{"", 10, 0}, Case{"9223372036854775807", 10, INT64_MAX}}) {
        EXPECT_EQ(String::toInteger(c.text, c.base), c.expected) << c.text << " base " << c.base;
    }
}

TEST(StringInteger, FromInteger) {
    EXPECT_EQ(String::fromInteger(255, 16, 4, '0'), "00ff");
    EXPECT_EQ(String::fromInteger(255, 10, 1, '0'), "255");
    EXPECT_EQ(String::fromInteger(7, 10, 3, ' '), "  7");
    EXPECT_EQ(String::fromInteger(123456, 10, 2, '0'), "123456");
    EXPECT_EQ(String::fromInteger(10, 8, 1, '0'), "10");
}

TEST(StringDouble, RoundTrip) {
    EXPECT_DOUBLE_EQ(String::toDouble("2.5"), 2.5);
    EXPECT_DOUBLE_EQ(String::toDouble("  -1e3xyz"), -1000.0);
    EXPECT_DOUBLE_EQ(String::toDouble("abc"), 0.0);
    EXPECT_DOUBLE_EQ(String::toDouble(""), 0.0);
    EXPECT_EQ(String::fromDouble(2.5), "2.5");
    EXPECT_EQ(String::fromDouble(1.0 / 3.0), "0.333333");
    EXPECT_EQ(String::fromDouble(100.0), "100");
}

TEST(StringBool, ToBool) {
    for (const char* text : {"on", "ON", "true", "True", "high", "HIGH", "1", "Yes", "y", "yikes"})
        EXPECT_TRUE(String::toBool(text)) << text;
    for (const char* text : {"off", "2", "false", "", "no", "0", " yes", "truex"})
        EXPECT_FALSE(String::toBool(text)) << text;
    EXPECT_EQ(String::fromBool(true), "true");
    EXPECT_EQ(String::fromBool(false), "false");
}

TEST(StringNumeric, IsNumeric) {
    for (const char* text : {"0", "123", "+5", "-42"})
        EXPECT_TRUE(String::isNumeric(text)) << text;
    for (const char* text : {"", "+", "-", "1.5", "12a", " 1", "1 ", "--1", "0x10"})
        EXPECT_FALSE(String::isNumeric(text)) << text;
}

TEST(StringTokenize, DropsEmptyPieces) {
    EXPECT_EQ(String::tokenizeV("a,b,,c,", ","), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(String::tokenizeV("1,,3", ","), (std::vector<std::string>{"1", "3"}));
    EXPECT_EQ(String::tokenizeV(",,,", ","), std::vector<std::string>{});
    EXPECT_EQ(String::tokenizeV("", ","), std::vector<std::string>{});
    EXPECT_EQ(String::tokenizeV("a b;c", " ;"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(String::tokenizeV("abc", ","), std::vector<std::string>{"abc"});
    EXPECT_EQ(String::tokenize("a/b//c", "/"), (std::list<std::string>{"a", "b", "c"}));
}

} // namespace
