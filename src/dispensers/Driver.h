#pragma once

#include "Metrics.h"
#include "Signal.h"
#include "Status.h"
#include "dispensers/PrintStatus.h"
#include "expected.h"

#include <nlohmann/json.hpp>

#include <string>
#include <system_error>

namespace zelmo::Corvane::Dispensers {

namespace EltraSistemi {
class Resources;
}

// The contract every dispenser model implements. The engine serialises the ticket commands with its
// command lock; the other operations may arrive concurrently from other threads.
class Driver {
public:
    Signal<float> firmwareUpgradeProgress;
    Signal<float> resourceLoadProgress;

    virtual ~Driver() = default;

    virtual std::error_code launchExtra() = 0;
    virtual std::error_code start() = 0;
    virtual void stop() = 0;
    virtual void clearJamming() = 0;
    virtual void clearMetrics() = 0;
    virtual std::error_code dispose() = 0;
    virtual std::error_code eject() = 0;
    virtual std::error_code park() = 0;
    virtual std::error_code print(const nlohmann::json& ticket) = 0;
    virtual std::error_code ping() = 0;
    virtual std::error_code setConfig(const nlohmann::json& section) = 0;
    virtual std::error_code firmwareUpgrade(const std::string& path, unsigned short crc) = 0;
    virtual std::error_code loadResources(const EltraSistemi::Resources& resources) = 0;
    virtual tl::expected<std::string, std::error_code> getFirmwareVersion() = 0;
    virtual tl::expected<Status, std::error_code> getStatus() = 0;
    virtual tl::expected<ConnectionType, std::error_code> getConnectionType() const = 0;
    virtual tl::expected<std::string, std::error_code> getManufacturer() const = 0;
    virtual tl::expected<std::string, std::error_code> getModel() const = 0;
    virtual Metrics getMetrics() const = 0;
    virtual nlohmann::json getConfig() const = 0;
};

} // namespace zelmo::Corvane::Dispensers
