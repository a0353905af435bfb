#include "Engine.h"

#include "ErrorCode.h"

namespace zelmo::Corvane {

namespace {
std::error_code noDriver() {
    return make_error_code(ErrorCode::WrongDeviceConfiguration);
}
} // namespace

std::error_code Engine::dispose() {
    std::lock_guard<std::mutex> lock(mCommandMutex);
    if (!mDriver)
        return noDriver();
    return mDriver->dispose();
}

std::error_code Engine::eject() {
    std::lock_guard<std::mutex> lock(mCommandMutex);
    if (!mDriver)
        return noDriver();
    return mDriver->eject();
}

std::error_code Engine::park() {
    std::lock_guard<std::mutex> lock(mCommandMutex);
    if (!mDriver)
        return noDriver();
    return mDriver->park();
}

std::error_code Engine::print(const json& ticket) {
    std::error_code ec;
    {
        std::lock_guard<std::mutex> lock(mCommandMutex);
        if (!mDriver)
            return noDriver();
        ec = mDriver->print(ticket);
    }
    emitLater(metricsChanged, 20);
    return ec;
}

std::error_code Engine::clearJamming() {
    const auto driver = driverSnapshot();
    if (!driver)
        return noDriver();
    driver->clearJamming();
    return {};
}

std::error_code Engine::clearMetrics() {
    const auto driver = driverSnapshot();
    if (!driver)
        return noDriver();
    driver->clearMetrics();
    emitLater(metricsChanged, 20);
    return {};
}

std::error_code Engine::reset() {
    if (const auto driver = driverSnapshot())
        driver->park();
    emitLater(powerCycleRequired, 0);
    return {};
}

Status Engine::getStatus() {
    std::lock_guard<std::mutex> lock(mCommandMutex);
    if (!mDriver)
        return Status();
    const auto status = mDriver->getStatus();
    return status ? *status : Status();
}

Metrics Engine::getMetrics() const {
    std::lock_guard<std::mutex> lock(mDriverMutex);
    if (mDriver)
        return mDriver->getMetrics();
    if (!mFallbackMetrics)
        mFallbackMetrics.emplace("./metrics.json");
    return *mFallbackMetrics;
}

tl::expected<std::string, std::error_code> Engine::getFirmwareVersion() {
    std::lock_guard<std::mutex> lock(mCommandMutex);
    if (!mDriver)
        return tl::unexpected<std::error_code>(noDriver());
    return mDriver->getFirmwareVersion();
}

tl::expected<std::string, std::error_code> Engine::getModel() const {
    const auto driver = driverSnapshot();
    if (!driver)
        return tl::unexpected<std::error_code>(noDriver());
    return driver->getModel();
}

tl::expected<std::string, std::error_code> Engine::getManufacturer() const {
    const auto driver = driverSnapshot();
    if (!driver)
        return tl::unexpected<std::error_code>(noDriver());
    return driver->getManufacturer();
}

tl::expected<std::string, std::error_code> Engine::getConnectionType() const {
    const auto driver = driverSnapshot();
    if (!driver)
        return tl::unexpected<std::error_code>(noDriver());
    const auto type = driver->getConnectionType();
    if (!type)
        return tl::unexpected<std::error_code>(type.error());
    switch (*type) {
    case Dispensers::Serial:
        return std::string("serial");
    case Dispensers::Usb:
        return std::string("usb");
    default:
        return std::string("undefined");
    }
}

} // namespace zelmo::Corvane
