#include "Engine.h"

#include "ErrorCode.h"

#include <chrono>
#include <thread>

namespace zelmo::Corvane {

void Engine::addStatusCallback(std::function<void(const Status&)> callback) {
    mStatusCallbacks.push_back(std::move(callback));
}

void Engine::statusTimerCallback(void* engine) {
    static_cast<Engine*>(engine)->statusFunction();
}

void Engine::statusFunction() {
    // A running command owns the driver: skip this tick instead of waiting.
    std::unique_lock<std::mutex> lock(mCommandMutex, std::try_to_lock);
    if (!lock.owns_lock() || mStopped)
        return;

    try {
        bool initialisedNow = false;
        if (!mDriver) {
            log(Log::Debug, "Initialize: no driver active");
            if (initialize(lock))
                return;
            initialisedNow = true;
            lock.lock();
            if (mStopped || !mDriver)
                return;
        }

        Status status;
        if (const auto answer = mDriver->getStatus())
            status = *answer;

        // The tick that created the driver reports without the lock, so a callback may ask the engine
        // for device information.
        if (initialisedNow)
            lock.unlock();

        if (status != mPreviousStatus) {
            mPreviousStatus = status;
            for (const auto& callback : mStatusCallbacks)
                callback(status);
        }

        if (!status.getIsActive()) {
            // A driver initialised in this very tick is initialised anew by the next tick, which starts
            // with the lock taken.
            if (initialisedNow)
                return;
            log(Log::Debug, "Initialize: status reports not active");
            initialize(lock);
        }
    } catch (const std::exception& e) {
        log(Log::Error, "StatusFunction: %s", e.what());
    }
}

std::error_code Engine::initialize(std::unique_lock<std::mutex>& lock) {
    log(Log::Info, "initialize...");
    setDriver(nullptr);

    DriverPtr driver;
    try {
        driver = mCreateDriver(mDevice);
    } catch (const std::exception&) {
        // The factory has said why.
    }
    if (!driver) {
        lock.unlock();
        return make_error_code(ErrorCode::WrongDeviceConfiguration);
    }
    setDriver(driver);

    // A listener's exception must not reach the driver in the middle of an installation.
    auto forward = [this](const Signal<float>& signal) {
        return [this, &signal](float percent) {
            try {
                signal.emit(percent);
            } catch (const std::exception& e) {
                log(Log::Error, "Progress listener failed: %s", e.what());
            }
        };
    };
    driver->firmwareUpgradeProgress.connect(forward(firmwareUpgradeProgress));
    driver->resourceLoadProgress.connect(forward(resourceLoadProgress));

    if (const auto ec = driver->start()) {
        setDriver(nullptr);
        lock.unlock();
        return ec;
    }
    if (const auto ec = driver->ping()) {
        setDriver(nullptr);
        lock.unlock();
        return ec;
    }

    if (!mFirstInitDone) {
        mFirstInitDone = true;
        const auto ec = autoFirmwareUpgrade();
        if (ec == make_error_code(ErrorCode::FirmwareUpdated)) {
            log(Log::Info, "Restarting driver after firmware upgrade");
            driver->stop();
            setDriver(nullptr);
            lock.unlock();
            return ec;
        }
        autoResourceLoad();
    }

    // The configuration pass takes the lock itself.
    lock.unlock();
    if (const auto ec = applyConfig())
        return ec;

    lock.lock();
    if (mStopped || mDriver != driver) {
        lock.unlock();
        return make_error_code(ErrorCode::WrongDeviceConfiguration);
    }
    driver->launchExtra();
    const auto status = driver->getStatus();
    lock.unlock();
    if (!status)
        return status.error();

    if (status->getIsParked() && mParkedRestarts++ <= 3) {
        reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        lock.lock();
        if (mDriver == driver)
            setDriver(nullptr);
        lock.unlock();
        return make_error_code(ErrorCode::JammingError);
    }
    return {};
}

} // namespace zelmo::Corvane
