#pragma once

#include "Config.h"
#include "Metrics.h"
#include "Signal.h"
#include "Status.h"
#include "dispensers/Driver.h"
#include "expected.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

class CommandRunner;
class Timer;

namespace zelmo::Corvane {

// Owns the one dispenser driver, serialises the commands that reach it, polls its status, runs the
// long installations on worker threads and owns the configuration file.
class Engine {
public:
    using json = nlohmann::json;
    using DriverFactory = std::function<std::unique_ptr<Dispensers::Driver>(const std::string& device)>;

    // What the engine reaches outside itself. Empty members take the real thing.
    struct Options {
        // Replaces the whole device detection; called with the configured device path.
        DriverFactory driverFactory;
        // Runs udevadm during device detection.
        std::shared_ptr<CommandRunner> commandRunner;
        // Directory that holds the "firmwares" and "resources" folders; the executable's directory
        // when empty.
        std::string applicationDirectory;
        // Clock of the once-a-minute "device missing" log line.
        std::function<std::chrono::system_clock::time_point()> clock;
    };

    Signal<float> firmwareUpgradeProgress;
    Signal<std::error_code> firmwareUpgradeFinished;
    Signal<float> resourceLoadProgress;
    Signal<std::error_code> resourceLoadFinished;
    Signal<> metricsChanged;
    Signal<> powerCycleRequired;

    Engine(const std::string& device, const std::string& configFile);
    Engine(const std::string& device, const std::string& configFile, Options options);
    virtual ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Lifecycle.
    std::error_code activate();
    void start();
    // Waits for a running command or status poll to finish, then stops the driver and the poll.
    // Must not be called from a status callback.
    void stop();
    void restart();
    void addStatusCallback(std::function<void(const Status&)> callback);

    // Configuration file and sections.
    void addGetConfigCallback(const std::string& name, std::function<json()> producer);
    void addSetConfigCallback(const std::string& name, std::function<void(json)> consumer);
    json getConfig();
    std::error_code setConfig(const json& config);
    bool readConfigFile(json& out);
    void writeConfigFile(const std::string& path);
    std::error_code applyConfig();
    void storeConfig(const json& doc);

    // Commands.
    std::error_code dispose();
    std::error_code eject();
    std::error_code park();
    std::error_code print(const json& ticket);
    std::error_code clearJamming();
    std::error_code clearMetrics();
    std::error_code reset();
    std::error_code firmwareUpgrade(const std::string& path, unsigned short crc);
    std::error_code loadResources(const std::string& folder);
    Status getStatus();
    Metrics getMetrics() const;
    tl::expected<std::string, std::error_code> getFirmwareVersion();
    tl::expected<std::string, std::error_code> getModel() const;
    tl::expected<std::string, std::error_code> getManufacturer() const;
    tl::expected<std::string, std::error_code> getConnectionType() const;

    // The status poll's timer (period and running state).
    const Timer& statusTimer() const { return *mStatusTimer; }

protected:
    using DriverPtr = std::shared_ptr<Dispensers::Driver>;

    // One row of the device table: sysfs attribute name -> required value, and the driver to build.
    struct FactoryEntry {
        std::map<std::string, std::string> attributes;
        std::function<std::unique_ptr<Dispensers::Driver>(const std::string& devicePath)> create;
    };

    static void statusTimerCallback(void* engine);
    void statusFunction();

    // Finds the driver for the device behind device (udev link, USB identity); throws
    // std::runtime_error when the path does not exist, returns null when it cannot be examined.
    std::unique_ptr<Dispensers::Driver> driverFactory(const std::string& device);
    virtual std::vector<FactoryEntry> factoryTable() const;
    // The serial printer, taken when no table entry matches.
    virtual std::unique_ptr<Dispensers::Driver> serialDriver(const std::string& device) const;

    bool initializeFirmwareDirectories();
    bool initializeResourceDirectories();
    std::error_code autoFirmwareUpgrade();
    std::error_code autoResourceLoad();

private:
    // Entered with lock holding the command lock; returns with it released.
    std::error_code initialize(std::unique_lock<std::mutex>& lock);

    // Keeps the status poll away for the length of an installation.
    class StatusPollHold {
    public:
        explicit StatusPollHold(Engine& engine);
        ~StatusPollHold();
        StatusPollHold(const StatusPollHold&) = delete;
        StatusPollHold& operator=(const StatusPollHold&) = delete;

    private:
        Engine& mEngine;
    };
    std::error_code setConfigLocked(const json& config);
    std::error_code runInstallation(const char* what, const std::function<std::error_code()>& install);
    // Replaces the driver; the caller holds the command lock.
    void setDriver(DriverPtr driver);
    // The current driver, for callers that do not hold the command lock.
    DriverPtr driverSnapshot() const;

    // Stops the status timer for an installation; resumeStatusTimer starts it again with the current
    // period once the last installation has ended.
    void holdStatusTimer();
    void resumeStatusTimer();

    // Runs fn on a thread the engine joins before it goes away.
    void runInBackground(std::function<void()> fn);
    void emitLater(const Signal<>& signal, int delayMs);
    void joinBackground();

    // Makes sure <application directory>/name and its "accepted" sub-folder exist and stores both.
    std::error_code prepareFolders(const std::string& name, std::string& folder, std::string& accepted);
    std::error_code prepareFirmwareFolders();
    std::error_code prepareResourceFolders();

    void log(Log::Level level, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));

    struct Task {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    std::atomic<bool> mStarted{false};
    std::atomic<bool> mStopped{false};
    bool mFirstInitDone = false;
    std::uint64_t mParkedRestarts = 0;
    std::string mDevice;
    std::string mConfigFile;

    DriverPtr mDriver;
    // Metrics read from the file while no driver exists; read once per driverless period rather than
    // loaded and rewritten on every status request. Guarded by mDriverMutex.
    mutable std::optional<Metrics> mFallbackMetrics;
    mutable std::mutex mDriverMutex;
    std::mutex mCommandMutex;

    // Serialises changes of the configuration and the file they are written to.
    std::mutex mConfigMutex;
    Config mConfig;
    std::string mFirmwareFolder;
    std::string mAcceptedFirmwareFolder;
    std::string mResourceFolder;
    std::string mAcceptedResourceFolder;
    std::map<std::string, std::function<json()>> mGetConfigCallbacks;
    std::map<std::string, std::function<void(json)>> mSetConfigCallbacks;
    std::vector<std::function<void(const Status&)>> mStatusCallbacks;
    Status mPreviousStatus;

    DriverFactory mCreateDriver;
    std::shared_ptr<CommandRunner> mRunner;
    std::string mApplicationDirectory;
    std::function<std::chrono::system_clock::time_point()> mClock;
    std::chrono::system_clock::time_point mLastMissingReport{};

    // Guards the started flag together with every start and stop of the status timer.
    std::mutex mTimerMutex;
    unsigned mTimerHolds = 0;

    std::mutex mTasksMutex;
    std::list<Task> mTasks;
    bool mTasksClosed = false;

    // Last member: its tick thread ends before anything it uses goes away.
    std::unique_ptr<Timer> mStatusTimer;
};

} // namespace zelmo::Corvane
