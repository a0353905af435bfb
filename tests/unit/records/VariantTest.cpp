#include "Variant.h"
#include "VariantMap.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>

namespace {

struct TagCase {
    const char* source;
    std::function<Variant()> construct;
    std::function<Variant()> assign;
    Variant::Type constructedTag;
    Variant::Type assignedTag;
    const char* text;
};

template <typename T> std::function<Variant()> assigned(T value) {
    return [value] {
        Variant v;
        v = value;
        return v;
    };
}

template <typename T> std::function<Variant()> constructed(T value) {
    return [value] { return Variant(value); };
}

class VariantTags : public ::testing::TestWithParam<TagCase> {};

TEST_P(VariantTags, ConstructionAndAssignmentSetTheTagOfTheTable) {
    const TagCase& c = GetParam();
    const Variant byConstruction = c.construct();
    const Variant byAssignment = c.assign();
    EXPECT_EQ(byConstruction.type(), c.constructedTag) << c.source;
    EXPECT_EQ(byAssignment.type(), c.assignedTag) << c.source;
    EXPECT_EQ(byConstruction.toString(), c.text) << c.source;
    EXPECT_EQ(byAssignment.toString(), c.text) << c.source;
}

INSTANTIATE_TEST_SUITE_P(
    Table, VariantTags,
    ::testing::Values(
        TagCase{"C string", constructed("abc"), assigned("abc"), Variant::String, Variant::String, "abc"},
        TagCase{"std::string", constructed(std::string("x y")), assigned(std::string("x y")), Variant::String,
                Variant::String, "x y"},
        TagCase{"char", constructed(char(65)), assigned(char(65)), Variant::UInt, Variant::Int, "65"},
        TagCase{"unsigned char", constructed((unsigned char)200), assigned((unsigned char)200), Variant::UInt,
                Variant::Int, "200"},
        TagCase{"short", constructed(short(-7)), assigned(short(-7)), Variant::UInt, Variant::Int, "-7"},
        TagCase{"unsigned short", constructed((unsigned short)65535), assigned((unsigned short)65535),
                Variant::UInt, Variant::Int, "65535"},
        TagCase{"int", constructed(-42), assigned(-42), Variant::Int, Variant::Int, "-42"},
        TagCase{"long", constructed(1234567890123L), assigned(1234567890123L), Variant::Int, Variant::Int,
                "1234567890123"},
        TagCase{"unsigned int", constructed(7u), assigned(7u), Variant::UInt, Variant::UInt, "7"},
        TagCase{"unsigned long", constructed(1000UL), assigned(1000UL), Variant::UInt, Variant::UInt, "1000"},
        TagCase{"double", constructed(2.5), assigned(2.5), Variant::Double, Variant::Double, "2.5"},
        TagCase{"bool true", constructed(true), assigned(true), Variant::Bool, Variant::Bool, "true"},
        TagCase{"bool false", constructed(false), assigned(false), Variant::Bool, Variant::Bool, "false"}));

TEST(Variant, DefaultIsNullWithEmptyText) {
    const Variant v;
    EXPECT_TRUE(v.isNull());
    EXPECT_EQ(v.type(), Variant::Null);
    EXPECT_EQ(v.toString(), "");
}

TEST(Variant, ExplicitTypeIsKept) {
    const Variant v("12", Variant::UInt);
    EXPECT_EQ(v.type(), Variant::UInt);
    EXPECT_EQ(v.toUInt(), 12u);
}

TEST(Variant, CopyKeepsTextAndTag) {
    const Variant original(5);
    Variant copy;
    copy = original;
    EXPECT_EQ(copy, original);
    EXPECT_EQ(Variant(original).type(), Variant::Int);
}

TEST(Variant, EqualityNeedsSameTextAndSameTag) {
    EXPECT_EQ(Variant(1000), Variant(1000));
    EXPECT_NE(Variant(1000), Variant(1000UL));
    EXPECT_NE(Variant("1000"), Variant(1000));
    EXPECT_NE(Variant(1), Variant(2));
}

TEST(Variant, DoublesUseSixSignificantDigits) {
    EXPECT_EQ(Variant(3.14159265).toString(), "3.14159");
    EXPECT_EQ(Variant(1.0).toString(), "1");
    EXPECT_DOUBLE_EQ(Variant(0.25).toDouble(), 0.25);
}

TEST(Variant, FullUnsignedRangeSurvives) {
    const Variant v(static_cast<unsigned long>(ULONG_MAX));
    EXPECT_EQ(v.toString(), "18446744073709551615");
    EXPECT_EQ(v.toUInt(), static_cast<uint64_t>(ULONG_MAX));
    EXPECT_EQ(Variant(LONG_MIN).toString(), "-9223372036854775808");
    EXPECT_EQ(Variant(LONG_MIN).toInt(), INT64_MIN);
}

TEST(Variant, IntegerReaders) {
    EXPECT_EQ(Variant("42").toInt(), 42);
    EXPECT_EQ(Variant("-3").toInt(), -3);
    EXPECT_EQ(Variant("12abc").toUInt(), 12u);
    EXPECT_EQ(Variant("abc").toInt(), 0);
    EXPECT_EQ(Variant().toUInt(), 0u);
}

TEST(Variant, BooleanReading) {
    for (const char* text : {"on", "TRUE", "high", "1", "yes", "Y"})
        EXPECT_TRUE(Variant(text).toBool()) << text;
    for (const char* text : {"off", "false", "0", "2", "", "no"})
        EXPECT_FALSE(Variant(text).toBool()) << text;
}

TEST(Variant, StringConversionOperatorGivesTheText) {
    const std::string text = Variant(17);
    EXPECT_EQ(text, "17");
}

TEST(Variant, MapVariantHoldsCompactJsonAndConvertsBack) {
    VariantMap map;
    map.set("url", Variant("host"));
    map.set("port", Variant(1883));
    const Variant v(map);
    EXPECT_EQ(v.type(), Variant::Map);
    EXPECT_EQ(v.toString(), R"({"port":1883,"url":"host"})");
    const VariantMap back = v.toMap();
    EXPECT_EQ(back.get("url"), Variant("host"));
    EXPECT_EQ(back.get("port").toInt(), 1883);
}

TEST(Variant, ToMapOfANonMapIsEmpty) {
    EXPECT_TRUE(Variant("{\"a\":1}").toMap().empty());
    EXPECT_TRUE(Variant(3).toMap().empty());
}

} // namespace
