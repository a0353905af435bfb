#pragma once

#include "Variant.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

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

    // Key-path conversions shared with SettingStore.
    using Visitor = std::function<void(const std::string& key, const Variant& value)>;
    // Calls visit for every scalar of doc under its "/"-joined path (array indices in decimal).
    static void flattenJson(const nlohmann::json& doc, const Visitor& visit);
    // Rebuilds the nested document; a numeric component appends to an array. Entries whose path
    // collides with a value already placed (a scalar where an object or array is needed) are left
    // out and their keys added to skipped, so one odd key cannot make the whole document fail.
    static nlohmann::json nestJson(const std::map<std::string, Variant>& values,
                                   std::vector<std::string>* skipped = nullptr);
    static nlohmann::json jsonValue(const Variant& value);
    static Variant fromJsonScalar(const nlohmann::json& value);

private:
    std::map<std::string, Variant> mValues;
};
