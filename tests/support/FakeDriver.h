#pragma once

#include "dispensers/Driver.h"
#include "dispensers/eltra/Resources.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace engine_test {

using zelmo::Corvane::Metrics;
using zelmo::Corvane::Status;
namespace Dispensers = zelmo::Corvane::Dispensers;

// A door that callers pass through while it is open and wait at while it is closed.
class Gate {
public:
    void close() {
        std::lock_guard<std::mutex> lock(mMutex);
        mClosed = true;
    }
    void open() {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mClosed = false;
        }
        mCv.notify_all();
    }
    void pass() {
        std::unique_lock<std::mutex> lock(mMutex);
        ++mEntered;
        mCv.wait(lock, [this] { return !mClosed; });
    }
    int entered() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mEntered;
    }

private:
    mutable std::mutex mMutex;
    std::condition_variable mCv;
    bool mClosed = false;
    int mEntered = 0;
};

inline Status activeStatus(bool parked = false, bool sensor0 = false) {
    Status status;
    status.setIsActive(true);
    status.setIsParked(parked);
    status.setSensors({{Status::PathSensor1, sensor0}, {Status::Reel1Paper, true}});
    status.setReelLevels({Status::Normal});
    return status;
}

// What the fake device does and what was done to it. Shared by every driver the factory builds, so a
// test can script a device across re-initialisations.
struct FakeDevice {
    std::mutex mutex;
    // Scripted answers (guarded by mutex).
    std::error_code startResult;
    std::error_code pingResult;
    std::error_code printResult;
    std::error_code setConfigResult;
    std::error_code firmwareResult;
    std::error_code resourceResult;
    bool throwOnStart = false;
    bool throwOnInstall = false;
    bool statusError = false;
    std::deque<Status> statusScript; // answered first, one per poll
    Status status = activeStatus();  // answered once the script is used up
    std::string model = "FakeModel";
    int connectionType = Dispensers::Serial;
    bool connectionTypeError = false;
    nlohmann::json config = {{"speed", 1}};
    std::vector<nlohmann::json> receivedSections;
    std::vector<std::string> firmwarePaths;
    std::vector<unsigned short> firmwareCrcs;
    std::vector<std::string> events;

    Gate printGate;
    Gate firmwareGate;
    Gate startGate;
    Gate statusGate;

    std::atomic<int> created{0};
    std::atomic<int> live{0};
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};
    std::atomic<int> pings{0};
    std::atomic<int> prints{0};
    std::atomic<int> parks{0};
    std::atomic<int> statusCalls{0};
    std::atomic<int> launches{0};
    std::atomic<int> clearJammings{0};
    std::atomic<int> clearMetricsCalls{0};
    std::atomic<int> resourceUploads{0};

    void record(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(event);
    }
    std::vector<std::string> eventLog() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
    void setStatus(const Status& value) {
        std::lock_guard<std::mutex> lock(mutex);
        status = value;
    }
    template <typename T> T read(const T& field) {
        std::lock_guard<std::mutex> lock(mutex);
        return field;
    }
};

class FakeDriver : public Dispensers::Driver {
public:
    explicit FakeDriver(std::shared_ptr<FakeDevice> device) : mDevice(std::move(device)) {
        ++mDevice->created;
        ++mDevice->live;
    }
    ~FakeDriver() override {
        mDevice->record("destroyed");
        --mDevice->live;
    }

    std::error_code launchExtra() override {
        ++mDevice->launches;
        mDevice->record("launchExtra");
        return {};
    }
    std::error_code start() override {
        ++mDevice->starts;
        mDevice->record("start");
        mDevice->startGate.pass();
        std::lock_guard<std::mutex> lock(mDevice->mutex);
        if (mDevice->throwOnStart)
            throw std::runtime_error("cannot open the fake port");
        return mDevice->startResult;
    }
    void stop() override {
        ++mDevice->stops;
        mDevice->record("stop");
    }
    void clearJamming() override { ++mDevice->clearJammings; }
    void clearMetrics() override { ++mDevice->clearMetricsCalls; }
    std::error_code dispose() override {
        mDevice->record("dispose");
        return {};
    }
    std::error_code eject() override {
        mDevice->record("eject");
        return {};
    }
    std::error_code park() override {
        ++mDevice->parks;
        mDevice->record("park");
        return {};
    }
    std::error_code print(const nlohmann::json& ticket) override {
        ++mDevice->prints;
        mDevice->record("print-begin");
        mDevice->printGate.pass();
        // A malformed ticket raises the JSON library's error, as a real driver's would.
        (void)ticket.at("elements");
        mDevice->record("print-end");
        std::lock_guard<std::mutex> lock(mDevice->mutex);
        return mDevice->printResult;
    }
    std::error_code ping() override {
        ++mDevice->pings;
        mDevice->record("ping");
        std::lock_guard<std::mutex> lock(mDevice->mutex);
        return mDevice->pingResult;
    }
    std::error_code setConfig(const nlohmann::json& section) override {
        std::lock_guard<std::mutex> lock(mDevice->mutex);
        mDevice->receivedSections.push_back(section);
        if (mDevice->setConfigResult)
            return mDevice->setConfigResult;
        if (section.is_object())
            mDevice->config.update(section);
        return {};
    }
    std::error_code firmwareUpgrade(const std::string& path, unsigned short crc) override {
        mDevice->record("firmware-begin");
        mDevice->firmwareGate.pass();
        if (mDevice->read(mDevice->throwOnInstall))
            throw std::runtime_error("the fake port went away");
        firmwareUpgradeProgress.emit(50.0f);
        firmwareUpgradeProgress.emit(100.0f);
        mDevice->record("firmware-end");
        std::lock_guard<std::mutex> lock(mDevice->mutex);
        mDevice->firmwarePaths.push_back(path);
        mDevice->firmwareCrcs.push_back(crc);
        return mDevice->firmwareResult;
    }
    std::error_code loadResources(const Dispensers::EltraSistemi::Resources&) override {
        ++mDevice->resourceUploads;
        if (mDevice->read(mDevice->throwOnInstall))
            throw std::runtime_error("the fake port went away");
        resourceLoadProgress.emit(100.0f);
        std::lock_guard<std::mutex> lock(mDevice->mutex);
        return mDevice->resourceResult;
    }
    tl::expected<std::string, std::error_code> getFirmwareVersion() override { return std::string("1.2.3"); }
    tl::expected<Status, std::error_code> getStatus() override {
        ++mDevice->statusCalls;
        mDevice->statusGate.pass();
        std::lock_guard<std::mutex> lock(mDevice->mutex);
        if (mDevice->statusError)
            return tl::unexpected<std::error_code>(std::make_error_code(std::errc::io_error));
        if (!mDevice->statusScript.empty()) {
            const Status next = mDevice->statusScript.front();
            mDevice->statusScript.pop_front();
            return next;
        }
        return mDevice->status;
    }
    tl::expected<Dispensers::ConnectionType, std::error_code> getConnectionType() const override {
        std::lock_guard<std::mutex> lock(mDevice->mutex);
        if (mDevice->connectionTypeError)
            return tl::unexpected<std::error_code>(std::make_error_code(std::errc::io_error));
        return static_cast<Dispensers::ConnectionType>(mDevice->connectionType);
    }
    tl::expected<std::string, std::error_code> getManufacturer() const override {
        return std::string("Fake");
    }
    tl::expected<std::string, std::error_code> getModel() const override {
        std::lock_guard<std::mutex> lock(mDevice->mutex);
        return mDevice->model;
    }
    Metrics getMetrics() const override { return Metrics(""); }
    nlohmann::json getConfig() const override {
        std::lock_guard<std::mutex> lock(mDevice->mutex);
        return mDevice->config;
    }

private:
    std::shared_ptr<FakeDevice> mDevice;
};

} // namespace engine_test
