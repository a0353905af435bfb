#include "MQTTMemoryPersistence.h"

#include <mqtt/exception.h>

void MQTTMemoryPersistence::open(const std::string&, const std::string&) {}

void MQTTMemoryPersistence::close() {}

void MQTTMemoryPersistence::clear() {
    std::lock_guard<std::mutex> lock(mMutex);
    mStore.clear();
}

bool MQTTMemoryPersistence::contains_key(const std::string& key) {
    std::lock_guard<std::mutex> lock(mMutex);
    return mStore.contains(key);
}

mqtt::string_collection MQTTMemoryPersistence::keys() const {
    std::lock_guard<std::mutex> lock(mMutex);
    mKeys.clear();
    for (const auto& [key, value] : mStore)
        mKeys.push_back(key);
    return mKeys;
}

void MQTTMemoryPersistence::put(const std::string& key, const std::vector<mqtt::string_view>& bufs) {
    std::string value;
    for (const auto& buf : bufs)
        value.append(buf.data(), buf.size());
    std::lock_guard<std::mutex> lock(mMutex);
    mStore[key] = std::move(value);
}

std::string MQTTMemoryPersistence::get(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mMutex);
    const auto it = mStore.find(key);
    if (it == mStore.end())
        throw mqtt::persistence_exception(-2, "MQTTMemoryPersistance::get(): Key not found.");
    return it->second;
}

void MQTTMemoryPersistence::remove(const std::string& key) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mStore.erase(key) == 0)
        throw mqtt::persistence_exception(-2);
}
