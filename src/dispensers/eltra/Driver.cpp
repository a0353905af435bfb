#include "dispensers/eltra/Driver.h"

#include "Helpers.h"
#include "dispensers/eltra/Dimension.h"

#include <cstdarg>
#include <cstring>
#include <stdexcept>

namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191 {

Driver::Driver(const std::string& device) : Driver(device, Timing{}) {}

Driver::Driver(const std::string& device, const Timing& timing) : device(device), timing(timing) {
    conf.fd = -1;
}

Driver::~Driver() {
    closeLink();
}

void Driver::ReplyDeleter::operator()(elx_reply* r) const {
    release_reply(&r);
}

void Driver::log(Log::Level level, const char* fmt, ...) const {
    va_list args;
    va_start(args, fmt);
    const std::string format = std::string("[EltraSistemi::ELG150191::Driver] ") + fmt;
    Log::vprint(level, format.c_str(), args);
    va_end(args);
}

void Driver::initLink(bool debug) {
    closeLink();
    init_conf(&conf, debug ? 1 : 0);
    std::memset(conf.port, 0, sizeof(conf.port));
    std::strncpy(conf.port, device.c_str(), sizeof(conf.port) - 1);
    conf.baud = B9600;
    conf.poll_interval_ms = timing.pollIntervalMs;
    conf.read_timeout.tv_sec = timing.readTimeoutMs / 1000;
    conf.read_timeout.tv_usec = (timing.readTimeoutMs % 1000) * 1000;
    // A limit that ran out earlier, or a stop, must not cut the new link short.
    abandon = false;
    conf.abandon = &abandon;
}

void Driver::closeLink() {
    // close_dev also closes a debug log left open by an earlier init_conf.
    if (conf.fd >= 0 || conf.log != nullptr)
        close_dev(&conf);
}

std::error_code Driver::start() {
    if (running.exchange(true))
        return ErrorCode::Success;

    std::lock_guard<std::mutex> link(linkMutex);
    initLink(true);
    conf.debug = 0;
    // A path that does not fit the link record would open some other device.
    if (device.size() >= sizeof(conf.port) || open_dev(&conf) < 0) {
        running = false;
        closeLink();
        throw std::invalid_argument("Failed to open device! (You need to run as root)");
    }
    consume_usb_inbuffer(&conf);
    reply.reset(poll_dev(&conf, nullptr));
    if (!reply) {
        running = false;
        closeLink();
        throw std::invalid_argument("Failed to initialize device");
    }
    reply.reset();

    const unsigned version = get_elx_version();
    log(Log::Info, "Device '%s' opened successfully (using ELX v%d.%d.%d)", device.c_str(),
        static_cast<int>((version >> 24) & 0xFF), static_cast<int>((version >> 16) & 0xFF),
        static_cast<int>(version & 0xFFFF));
    Helpers::createDefaultLastTicketsFile(lastTicketsFile);
    connected = true;
    return ErrorCode::Success;
}

void Driver::stop() {
    log(Log::Info, "Stopping...");
    if (running.exchange(false)) {
        connected = false;
        // An exchange still running gives up within one wait slice and frees the link.
        abandon = true;
        std::lock_guard<std::mutex> lock(linkMutex);
        closeLink();
        log(Log::Info, "Stopped");
    }
}

OperationalMode Driver::detectOperationalMode() {
    log(Log::Info, "[Operational Mode]: Checking");
    if (running) {
        log(Log::Info, "[Operational Mode]: Programming (Driver is running)");
        return Normal;
    }
    std::lock_guard<std::mutex> link(linkMutex);
    initLink(true);
    if (device.size() >= sizeof(conf.port) || open_dev(&conf) < 0) {
        log(Log::Info, "[Operational Mode]: Corrupted (failed to open device)");
        return Corrupted;
    }
    consume_usb_inbuffer(&conf);
    reply.reset(poll_dev(&conf, nullptr));
    if (!reply) {
        log(Log::Info, "[Operational Mode]: Programming (failed to poll device)");
        return Programming;
    }
    reply.reset();
    log(Log::Info, "[Operational Mode]: Normal (opened and polled device)");
    return Normal;
}

std::error_code Driver::setOperationalMode(OperationalMode mode) {
    log(Log::Info, "Setting device mode: %s", mode == Normal ? "Normal" : "Programming");
    const std::error_code ec = waitAck(static_cast<char>(mode), "");
    if (ec) {
        log(Log::Error, "Could not set device mode: %s", ec.message().c_str());
        return ec;
    }
    return ErrorCode::Success;
}

std::error_code Driver::launchExtra() {
    return ErrorCode::Success;
}

void Driver::clearJamming() {
    jammed = false;
}

void Driver::clearMetrics() {
    metrics.clear();
}

Metrics Driver::getMetrics() const {
    return metrics;
}

nlohmann::json Driver::getConfig() const {
    return mConfig.toJson();
}

tl::expected<ConnectionType, std::error_code> Driver::getConnectionType() const {
    return Serial;
}

tl::expected<std::string, std::error_code> Driver::getManufacturer() const {
    return "EltraSistemi";
}

tl::expected<std::string, std::error_code> Driver::getModel() const {
    return "ELG150191";
}

std::error_code Driver::parseDimention(int value, int width, std::string& out) {
    return ELG150191::parseDimention(value, width, out);
}

} // namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191
