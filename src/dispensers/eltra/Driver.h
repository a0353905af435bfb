#pragma once

#include "ErrorCode.h"
#include "Log.h"
#include "Metrics.h"
#include "Status.h"
#include "dispensers/Driver.h"
#include "dispensers/eltra/Config.h"
#include "dispensers/eltra/Elx.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191 {

// The printer's mode, carried as the command letter that selects it.
enum OperationalMode : char { Normal = 'Q', Programming = '|', Corrupted = 0 };

// Limits of one printer exchange. The defaults are the production values; tests shorten them.
struct Timing {
    std::chrono::milliseconds ackLimit{15000};
    std::chrono::milliseconds replyLimit{7000};
    int pollIntervalMs = 200;
    int readTimeoutMs = 1000; // wait for one byte of the link
    // Longest wait for one byte of the boot loader, and for the printer's acknowledge of font data.
    std::chrono::milliseconds bootLoaderReadLimit{10000};
    std::chrono::milliseconds fontAckLimit{30000};
    // Font data goes out at the line's pace (9600 baud, ten bits a byte); the write may take twice that
    // plus the margin before it is given up.
    int lineBytesPerSecond = 960;
    std::chrono::milliseconds fontWriteMargin{10000};
    // The fixed pauses of firmware upgrade and resource upload; empty sleeps for real.
    std::function<void(std::chrono::milliseconds)> sleep;
};

// Driver of the Eltra Sistemi ELG15019 thermal ticket printer on a serial line (ELX link).
class Driver : public Dispensers::Driver {
public:
    explicit Driver(const std::string& device);
    Driver(const std::string& device, const Timing& timing);
    ~Driver() override;

    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Dispensers::Driver
    std::error_code launchExtra() override;
    std::error_code start() override;
    void stop() override;
    void clearJamming() override;
    void clearMetrics() override;
    std::error_code dispose() override;
    std::error_code eject() override;
    std::error_code park() override;
    std::error_code print(const nlohmann::json& ticket) override;
    std::error_code ping() override;
    std::error_code setConfig(const nlohmann::json& section) override;
    std::error_code firmwareUpgrade(const std::string& path, unsigned short crc) override;
    std::error_code loadResources(const EltraSistemi::Resources& resources) override;
    tl::expected<std::string, std::error_code> getFirmwareVersion() override;
    tl::expected<Status, std::error_code> getStatus() override;
    tl::expected<ConnectionType, std::error_code> getConnectionType() const override;
    tl::expected<std::string, std::error_code> getManufacturer() const override;
    tl::expected<std::string, std::error_code> getModel() const override;
    Metrics getMetrics() const override;
    nlohmann::json getConfig() const override;

    // Operational mode
    OperationalMode detectOperationalMode();
    std::error_code setOperationalMode(OperationalMode mode);

    // Command path. execute takes the command mutex; waitAck and waitResponse expect the caller to
    // hold it (firmware upgrade and resource upload hold it for their whole run).
    std::error_code execute(std::string& response, std::string& code, char command, const std::string& data);
    std::error_code waitAck(char command, const std::string& data);
    std::error_code waitResponse(char command, std::string& response, std::string& code);
    static void waitCallback(int value);
    static ErrorCode reportToEc(const std::string& code);
    static std::string replyToString(const elx_reply& reply);

    // Configuration commands
    std::error_code setFirmwareParameter(const std::string& param);
    std::error_code setCutOffset(const std::string& offset);
    std::error_code setQrEccLevel(QrEcc level);
    std::error_code setFolder(int folder);
    std::error_code setThermalTime(int thermalTime);

    // Layout field helper (the element renderers live in TicketLayout).
    static std::error_code parseDimention(int value, int width, std::string& out);

    // Firmware upgrade progress: emits min(100, (erase + write) / 2).
    void reportFirmwareUpgradeProgress(float erase, float write);

    bool isJammed() const { return jammed.load(); }
    bool isRunning() const { return running.load(); }
    bool isConnected() const { return connected.load(); }
    const std::string& getDevice() const { return device; }
    const std::string& getLastTicketsFile() const { return lastTicketsFile; }
    const Config& config() const { return mConfig; }

    // Forgets the reel levels remembered across status queries (shared by all drivers of the process).
    static void forgetReelLevels();

private:
    struct ReplyDeleter {
        void operator()(elx_reply* reply) const;
    };
    using ReplyPtr = std::unique_ptr<elx_reply, ReplyDeleter>;

    void log(Log::Level level, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));
    // Status from the '?' reply text; the caller has checked its length.
    Status statusFromReply(const std::string& reply);
    // Fresh link record for the device (closing a link left open); debug opens the ELX debug log.
    // Both expect linkMutex to be held.
    void initLink(bool debug);
    void closeLink();
    void endWorker(std::thread& worker, std::mutex& mutex, const bool& done);

    std::string device;
    std::atomic<bool> jammed{false};
    Config mConfig;
    elx_conf conf{};
    ReplyPtr reply;
    std::mutex commandMutex;
    // Held by a worker while it uses the link, and by whoever reopens or closes it, so that stop()
    // arriving from another thread never closes the descriptor under a running exchange.
    std::mutex linkMutex;
    Metrics metrics{"./metrics.json"};
    std::atomic<bool> running{false};
    std::atomic<bool> connected{false};
    std::string lastTicketsFile = ".lastTickets";

    Timing timing;
    // Raised when a wait limit runs out; the link's blocked calls see it and return.
    std::atomic<bool> abandon{false};
};

} // namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191
