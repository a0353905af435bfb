#pragma once

#include "Log.h"
#include "Signal.h"
#include "Variant.h"
#include "VariantMap.h"

#include <nlohmann/json.hpp>

#include <list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// Typed key/value store with "/"-separated keys; the base of every configuration section.
// The value map is guarded by a lock, so sections can be read and updated from several threads. The change
// signal is emitted after the value is stored and outside that lock, so a slot may read the store.
class SettingStore {
public:
    enum FileType : int { Auto = 0, SQLite = 1, JSON = 2 };

    SettingStore() = default;
    virtual ~SettingStore() = default;

    // Emitted with the key of every entry whose value really changed.
    Signal<const std::string&> changed;

    void set(const std::string& key, const Variant& value);
    void setValue(const std::string& key, const Variant& value);
    Variant get(const std::string& key) const;
    bool exists(const std::string& key) const;
    std::list<std::string> keys() const;
    void erase(const std::string& key);
    // Reference into the map; writes through it bypass the change signal and the lock.
    Variant& operator[](const std::string& key);

    void merge(const VariantMap& defaults);
    void updateFromJson(const nlohmann::json& doc);
    void fromJson(const nlohmann::json& doc);
    nlohmann::json toJson() const;
    VariantMap toMap() const;
    void fromMap(const VariantMap& map);
    void updateFromMap(const VariantMap& map);

    void print() const;

    bool save(const std::string& path, FileType type = Auto) const;
    bool saveJSON(const std::string& path) const;
    bool saveSQLite(const std::string& path) const;
    bool load(const std::string& path, FileType type = Auto);
    bool loadJSON(const std::string& path);
    bool loadSQLite(const std::string& path);

protected:
    void log(Log::Level level, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));
    void log(Log::Level level, const std::string& text) const;

private:
    // Callers hold mMutex; true when the stored value really changed.
    bool storeLocked(const std::string& key, const Variant& value);
    void emitChanged(const std::vector<std::string>& keys) const;

    mutable std::mutex mMutex;
    std::map<std::string, Variant> values;
};
