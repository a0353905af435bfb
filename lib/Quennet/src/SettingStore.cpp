#include "SettingStore.h"

#include "Utils.h"

#include <SQLiteCpp/SQLiteCpp.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>
#include <utility>

using json = nlohmann::json;

namespace {

using Entries = std::vector<std::pair<std::string, Variant>>;

Entries flatten(const json& doc) {
    Entries entries;
    VariantMap::flattenJson(
        doc, [&](const std::string& key, const Variant& value) { entries.emplace_back(key, value); });
    return entries;
}

bool isBelow(const std::string& key, const std::string& prefix) {
    return key == prefix || Utils::match(key, prefix + "/*");
}

} // namespace

bool SettingStore::storeLocked(const std::string& key, const Variant& value) {
    const auto it = values.find(key);
    if (it != values.end()) {
        if (it->second == value)
            return false;
        it->second = value;
        return true;
    }
    values.emplace(key, value);
    return true;
}

void SettingStore::emitChanged(const std::vector<std::string>& keys) const {
    for (const auto& key : keys)
        changed.emit(key);
}

void SettingStore::set(const std::string& key, const Variant& value) {
    if (value.type() != Variant::Map) {
        setValue(key, value);
        return;
    }
    std::vector<std::string> changedKeys;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        const VariantMap map = value.toMap();
        for (const auto& [subKey, subValue] : map.values()) {
            const std::string fullKey = key + "/" + subKey;
            if (storeLocked(fullKey, subValue))
                changedKeys.push_back(fullKey);
        }
    }
    emitChanged(changedKeys);
}

void SettingStore::setValue(const std::string& key, const Variant& value) {
    bool changedValue;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        changedValue = storeLocked(key, value);
    }
    if (changedValue)
        changed.emit(key);
}

Variant SettingStore::get(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mMutex);
    const auto it = values.find(key);
    if (it != values.end())
        return it->second;
    VariantMap below;
    const std::string pattern = key + "/*";
    for (const auto& [k, v] : values) {
        if (Utils::match(k, pattern))
            below[k.substr(key.size() + 1)] = v;
    }
    if (below.empty())
        return Variant();
    return Variant(below);
}

bool SettingStore::exists(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mMutex);
    return values.count(key) != 0;
}

std::list<std::string> SettingStore::keys() const {
    std::lock_guard<std::mutex> lock(mMutex);
    std::list<std::string> result;
    for (const auto& entry : values)
        result.push_back(entry.first);
    return result;
}

void SettingStore::erase(const std::string& key) {
    std::lock_guard<std::mutex> lock(mMutex);
    std::erase_if(values, [&](const auto& entry) { return isBelow(entry.first, key); });
}

Variant& SettingStore::operator[](const std::string& key) {
    std::lock_guard<std::mutex> lock(mMutex);
    return values[key];
}

void SettingStore::merge(const VariantMap& defaults) {
    std::vector<std::string> changedKeys;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        for (const auto& [key, value] : defaults.values()) {
            if (values.count(key) == 0 && storeLocked(key, value))
                changedKeys.push_back(key);
        }
    }
    emitChanged(changedKeys);
}

void SettingStore::updateFromJson(const json& doc) {
    const Entries entries = flatten(doc);
    std::vector<std::string> changedKeys;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        for (const auto& [key, value] : entries) {
            if (storeLocked(key, value))
                changedKeys.push_back(key);
        }
    }
    emitChanged(changedKeys);
}

void SettingStore::fromJson(const json& doc) {
    VariantMap map;
    map.fromJson(doc);
    fromMap(map);
}

json SettingStore::toJson() const {
    std::vector<std::string> skipped;
    json doc;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        doc = VariantMap::nestJson(values, &skipped);
    }
    for (const auto& key : skipped)
        log(Log::Warning, "toJson(): setting '%s' collides with another setting; left out", key.c_str());
    return doc;
}

VariantMap SettingStore::toMap() const {
    std::lock_guard<std::mutex> lock(mMutex);
    VariantMap map;
    for (const auto& [key, value] : values)
        map[key] = value;
    return map;
}

void SettingStore::fromMap(const VariantMap& map) {
    std::vector<std::string> changedKeys;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        std::map<std::string, Variant> previous;
        previous.swap(values);
        for (const auto& [key, value] : map.values()) {
            values[key] = value;
            const auto it = previous.find(key);
            if (it == previous.end() || it->second != value)
                changedKeys.push_back(key);
        }
    }
    emitChanged(changedKeys);
}

void SettingStore::updateFromMap(const VariantMap& map) {
    std::vector<std::string> changedKeys;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        for (const auto& [key, value] : map.values()) {
            if (storeLocked(key, value))
                changedKeys.push_back(key);
        }
    }
    emitChanged(changedKeys);
}

namespace {

// Credentials never reach the log: any setting named "password" is shown masked.
bool isSecret(const std::string& key) {
    return key == "password" || (key.size() > 9 && key.compare(key.size() - 9, 9, "/password") == 0);
}

} // namespace

void SettingStore::print() const {
    std::map<std::string, std::string> snapshot;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        for (const auto& [key, value] : values)
            snapshot.emplace(key, isSecret(key) ? std::string("********") : value.toString());
    }
    int keyWidth = 10;
    int valueWidth = 10;
    for (const auto& [key, text] : snapshot) {
        keyWidth = std::max(keyWidth, static_cast<int>(key.size()));
        valueWidth = std::max(valueWidth, static_cast<int>(text.size()));
    }
    const std::string separator =
        "+" + std::string(keyWidth + 2, '-') + "+" + std::string(valueWidth + 2, '-') + "+";
    log(Log::Info, "%s", separator.c_str());
    log(Log::Info, "| %-*s | %-*s |", keyWidth, "SETTING", valueWidth, "VALUE");
    log(Log::Info, "%s", separator.c_str());
    for (const auto& [key, text] : snapshot)
        log(Log::Info, "| %-*s : %-*s |", keyWidth, key.c_str(), valueWidth, text.c_str());
    log(Log::Info, "%s", separator.c_str());
}

namespace {

// Extension rule shared by save and load: "sqlite"/"db" is the SQLite form, "json" the JSON form.
SettingStore::FileType typeOf(const std::string& path, SettingStore::FileType type) {
    if (type != SettingStore::Auto)
        return type;
    const std::string extension = Utils::getFileExtension(path);
    if (extension.find("sqlite") != std::string::npos || extension.find("db") != std::string::npos)
        return SettingStore::SQLite;
    if (extension.find("json") != std::string::npos)
        return SettingStore::JSON;
    return SettingStore::Auto;
}

} // namespace

bool SettingStore::save(const std::string& path, FileType type) const {
    switch (typeOf(path, type)) {
    case SQLite:
        return saveSQLite(path);
    case JSON:
        return saveJSON(path);
    case Auto:
        break;
    }
    log(Log::Error, "save(): unknown file type of '%s'", path.c_str());
    return false;
}

bool SettingStore::saveJSON(const std::string& path) const {
    const std::string text = toJson().dump(4);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        log(Log::Error, "saveJSON(): could not open file '%s': %s.", path.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = true;
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            log(Log::Error, "saveJSON(): could not write in file '%s': %s", path.c_str(),
                std::strerror(errno));
            ok = false;
            break;
        }
        if (n == 0) {
            log(Log::Error, "saveJSON(): partial write in file '%s': %d/%d", path.c_str(),
                static_cast<int>(written), static_cast<int>(text.size()));
            ok = false;
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    // close() can be the first to report a failed write-back (NFS, full disk).
    if (::close(fd) != 0 && ok) {
        log(Log::Error, "saveJSON(): could not write in file '%s': %s", path.c_str(), std::strerror(errno));
        ok = false;
    }
    return ok;
}

bool SettingStore::saveSQLite(const std::string& path) const {
    std::map<std::string, Variant> snapshot;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        snapshot = values;
    }
    try {
        SQLite::Database db(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE, 2000);
        // The old table is dropped inside the transaction, so a failed save keeps the previous content.
        SQLite::Transaction transaction(db);
        db.exec("DROP TABLE IF EXISTS settings");
        db.exec("CREATE TABLE settings (key TEXT PRIMARY KEY, value TEXT, type INTEGER)");
        SQLite::Statement insert(db, "INSERT INTO settings VALUES (?, ?, ?)");
        for (const auto& [key, value] : snapshot) {
            insert.bind(1, key);
            insert.bind(2, value.toString());
            insert.bind(3, static_cast<int>(value.type()));
            insert.exec();
            insert.reset();
        }
        transaction.commit();
    } catch (const std::exception& e) {
        log(Log::Error, std::string("saveSQLite(): ") + e.what());
        return false;
    }
    return true;
}

bool SettingStore::load(const std::string& path, FileType type) {
    switch (typeOf(path, type)) {
    case SQLite:
        return loadSQLite(path);
    case JSON:
        return loadJSON(path);
    case Auto:
        break;
    }
    log(Log::Error, "load(): unknown file type of '%s'", path.c_str());
    return false;
}

bool SettingStore::loadJSON(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        log(Log::Error, "loadJSON(): could not open file '%s'.", path.c_str());
        return false;
    }
    json doc;
    try {
        doc = json::parse(file);
    } catch (const std::exception& e) {
        // Keep the current values rather than replacing them with nothing.
        log(Log::Error, "loadJSON(): could not parse file '%s': %s", path.c_str(), e.what());
        return false;
    }
    fromJson(doc);
    return true;
}

bool SettingStore::loadSQLite(const std::string& path) {
    Entries rows;
    try {
        SQLite::Database db(path, SQLite::OPEN_READONLY);
        SQLite::Statement query(db, "SELECT * FROM settings");
        while (query.executeStep()) {
            const int tag = query.getColumn(2).getInt();
            const auto type = (tag >= Variant::Null && tag <= Variant::Map) ? static_cast<Variant::Type>(tag)
                                                                            : Variant::String;
            rows.emplace_back(query.getColumn(0).getString(), Variant(query.getColumn(1).getString(), type));
        }
    } catch (const std::exception& e) {
        log(Log::Error, std::string("loadSQLite(): ") + e.what());
        return false;
    }
    std::vector<std::string> changedKeys;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        for (const auto& [key, value] : rows) {
            if (storeLocked(key, value))
                changedKeys.push_back(key);
        }
    }
    emitChanged(changedKeys);
    return true;
}

void SettingStore::log(Log::Level level, const char* fmt, ...) const {
    const std::string format = std::string("[Settings] ") + fmt;
    va_list args;
    va_start(args, fmt);
    Log::vprint(level, format.c_str(), args);
    va_end(args);
}

void SettingStore::log(Log::Level level, const std::string& text) const {
    Log::print(level, "[Settings] " + text);
}
