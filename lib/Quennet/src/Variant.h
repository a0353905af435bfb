#pragma once

#include <cstdint>
#include <string>

class VariantMap;

// A setting value: its text form plus a type tag.
class Variant {
public:
    enum Type : int { Null = 0, String = 1, Int = 2, UInt = 3, Double = 4, Bool = 5, Map = 6 };

    Variant() = default;
    Variant(const char* value);
    Variant(const std::string& value);
    Variant(const std::string& value, Type type);
    Variant(char value);
    Variant(unsigned char value);
    Variant(short value);
    Variant(unsigned short value);
    Variant(int value);
    Variant(long value);
    Variant(long long value);
    Variant(unsigned int value);
    Variant(unsigned long value);
    Variant(unsigned long long value);
    Variant(double value);
    Variant(bool value);
    Variant(const VariantMap& value);
    Variant(const Variant&) = default;

    Variant& operator=(const Variant&) = default;
    Variant& operator=(const char* value);
    Variant& operator=(const std::string& value);
    Variant& operator=(char value);
    Variant& operator=(unsigned char value);
    Variant& operator=(short value);
    Variant& operator=(unsigned short value);
    Variant& operator=(int value);
    Variant& operator=(long value);
    Variant& operator=(unsigned int value);
    Variant& operator=(unsigned long value);
    Variant& operator=(double value);
    Variant& operator=(bool value);
    Variant& operator=(const VariantMap& value);

    const std::string& toString() const { return mText; }
    int64_t toInt() const;
    uint64_t toUInt() const;
    double toDouble() const;
    bool toBool() const;
    VariantMap toMap() const;
    Type type() const { return mType; }
    bool isNull() const { return mType == Null; }

    operator std::string() const { return mText; }

    bool operator==(const Variant& other) const { return mType == other.mType && mText == other.mText; }
    bool operator!=(const Variant& other) const { return !(*this == other); }

private:
    std::string mText;
    Type mType = Null;
};
