#pragma once

#include <mqtt/iclient_persistence.h>

#include <map>
#include <mutex>
#include <string>

// Message persistence of the MQTT library kept in memory: the wrapper never touches the file system.
// Guarded by a lock because an outgoing and an incoming client object may use it at the same time.
class MQTTMemoryPersistence : public mqtt::iclient_persistence {
public:
    MQTTMemoryPersistence() = default;
    ~MQTTMemoryPersistence() override = default;

    void open(const std::string& clientId, const std::string& serverURI) override;
    void close() override;
    void clear() override;
    bool contains_key(const std::string& key) override;
    mqtt::string_collection keys() const override;
    void put(const std::string& key, const std::vector<mqtt::string_view>& bufs) override;
    std::string get(const std::string& key) const override;
    void remove(const std::string& key) override;

private:
    mutable std::mutex mMutex;
    std::map<std::string, std::string> mStore;
    mutable mqtt::string_collection mKeys;
};
