#include "Variant.h"

#include "String.h"
#include "VariantMap.h"

#include <cctype>
#include <cstdlib>
#include <limits>

namespace {

std::string signedText(int64_t value) {
    return String::fromInteger(value);
}

// fromInteger takes a signed 64-bit value; the top half of the unsigned range is written directly so
// large counters do not turn negative.
std::string unsignedText(uint64_t value) {
    if (value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        return String::fromInteger(static_cast<int64_t>(value));
    return std::to_string(value);
}

} // namespace

Variant::Variant(const char* value) : mText(value ? value : ""), mType(String) {}
Variant::Variant(const std::string& value) : mText(value), mType(String) {}
Variant::Variant(const std::string& value, Type type) : mText(value), mType(type) {}
// The small integer types construct as unsigned but assign as signed; both stay as they always were.
Variant::Variant(char value) : mText(signedText(value)), mType(UInt) {}
Variant::Variant(unsigned char value) : mText(unsignedText(value)), mType(UInt) {}
Variant::Variant(short value) : mText(signedText(value)), mType(UInt) {}
Variant::Variant(unsigned short value) : mText(unsignedText(value)), mType(UInt) {}
Variant::Variant(int value) : mText(signedText(value)), mType(Int) {}
Variant::Variant(long value) : mText(signedText(value)), mType(Int) {}
Variant::Variant(long long value) : mText(signedText(value)), mType(Int) {}
Variant::Variant(unsigned int value) : mText(unsignedText(value)), mType(UInt) {}
Variant::Variant(unsigned long value) : mText(unsignedText(value)), mType(UInt) {}
Variant::Variant(unsigned long long value) : mText(unsignedText(value)), mType(UInt) {}
Variant::Variant(double value) : mText(String::fromDouble(value)), mType(Double) {}
Variant::Variant(bool value) : mText(String::fromBool(value)), mType(Bool) {}
Variant::Variant(const VariantMap& value) : mText(value.toJson().dump()), mType(Map) {}

Variant& Variant::operator=(const char* value) {
    return *this = Variant(value);
}
Variant& Variant::operator=(const std::string& value) {
    return *this = Variant(value);
}
Variant& Variant::operator=(char value) {
    return *this = Variant(signedText(value), Int);
}
Variant& Variant::operator=(unsigned char value) {
    return *this = Variant(unsignedText(value), Int);
}
Variant& Variant::operator=(short value) {
    return *this = Variant(signedText(value), Int);
}
Variant& Variant::operator=(unsigned short value) {
    return *this = Variant(unsignedText(value), Int);
}
Variant& Variant::operator=(int value) {
    return *this = Variant(value);
}
Variant& Variant::operator=(long value) {
    return *this = Variant(value);
}
Variant& Variant::operator=(unsigned int value) {
    return *this = Variant(value);
}
Variant& Variant::operator=(unsigned long value) {
    return *this = Variant(value);
}
Variant& Variant::operator=(double value) {
    return *this = Variant(value);
}
Variant& Variant::operator=(bool value) {
    return *this = Variant(value);
}
Variant& Variant::operator=(const VariantMap& value) {
    return *this = Variant(value);
}

int64_t Variant::toInt() const {
    return String::toInteger(mText);
}

uint64_t Variant::toUInt() const {
    // Read non-negative texts as unsigned so values above the signed range survive.
    std::size_t i = 0;
    while (i < mText.size() && std::isspace(static_cast<unsigned char>(mText[i])))
        ++i;
    if (i < mText.size() && std::isdigit(static_cast<unsigned char>(mText[i])))
        return std::strtoull(mText.c_str() + i, nullptr, 10);
    return static_cast<uint64_t>(String::toInteger(mText));
}

double Variant::toDouble() const {
    return String::toDouble(mText);
}

bool Variant::toBool() const {
    return String::toBool(mText);
}

VariantMap Variant::toMap() const {
    VariantMap map;
    if (mType != Map)
        return map;
    const auto doc = nlohmann::json::parse(mText, nullptr, false);
    if (!doc.is_discarded() && doc.is_object())
        map.fromJson(doc);
    return map;
}
