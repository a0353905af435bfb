#pragma once

#include "Variant.h"

#include <nlohmann/json.hpp>

#include <list>
#include <map>
#include <string>

// Key-path map carried by tag-6 Variants.
class VariantMap {
public:
    VariantMap() = default;
    virtual ~VariantMap() = default;

    void set(const std::string& key, const Variant& value);
    Variant get(const std::string& key) const;
    std::size_t size() const { return mValues.size(); }
    bool empty() const { return mValues.empty(); }
    std::list<std::string> keys() const;
    bool exists(const std::string& key) const { return mValues.count(key) != 0; }
    void erase(const std::string& key);
    void merge(const VariantMap& other);
    Variant& operator[](const std::string& key) { return mValues[key]; }
    bool operator==(const VariantMap& other) const { return mValues == other.mValues; }

    nlohmann::json toJson() const;
    void fromJson(const nlohmann::json& doc);

    const std::map<std::string, Variant>& values() const { return mValues; }

private:
    std::map<std::string, Variant> mValues;
};
