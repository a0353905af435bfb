#include "Engine.h"

#include "CommandRunner.h"
#include "ErrorCode.h"
#include "Log.h"
#include "Timer.h"

#include <cstdarg>
#include <cstdio>

namespace zelmo::Corvane {

Engine::Engine(const std::string& device, const std::string& configFile)
    : Engine(device, configFile, Options{}) {}

Engine::Engine(const std::string& device, const std::string& configFile, Options options)
    : mDevice(device), mConfigFile(configFile), mCreateDriver(std::move(options.driverFactory)),
      mRunner(std::move(options.commandRunner)),
      mApplicationDirectory(std::move(options.applicationDirectory)), mClock(std::move(options.clock)) {
    if (!mCreateDriver)
        mCreateDriver = [this](const std::string& path) { return driverFactory(path); };
    if (!mRunner)
        mRunner = std::make_shared<CommandRunner>();
    if (!mClock)
        mClock = [] { return std::chrono::system_clock::now(); };

    mStatusTimer = std::make_unique<Timer>(Timer::Periodic, &Engine::statusTimerCallback, this);
}

Engine::~Engine() {
    stop();
    joinBackground();
    // Ends the tick thread while every member it touches still exists.
    mStatusTimer.reset();
}

std::error_code Engine::activate() {
    if (const auto ec = applyConfig())
        return ec;
    mConfig.print();
    return {};
}

void Engine::start() {
    log(Log::Info, "start()");
    std::lock_guard<std::mutex> lock(mTimerMutex);
    if (mStarted)
        return;
    mStarted = true;
    mStopped = false;
    if (mTimerHolds == 0)
        mStatusTimer->start(static_cast<int>(mConfig.statusPeriod()));
}

void Engine::stop() {
    log(Log::Info, "stop()");
    {
        std::lock_guard<std::mutex> lock(mTimerMutex);
        if (!mStarted)
            return;
        mStarted = false;
        mStopped = true;
        mStatusTimer->stop();
    }
    // Waiting for the command lock lets a running command or poll finish with the driver first; the
    // poll will not create another driver once it sees the engine stopped.
    std::lock_guard<std::mutex> lock(mCommandMutex);
    if (mDriver)
        mDriver->stop();
    log(Log::Info, "stop(): done");
}

void Engine::restart() {
    log(Log::Info, "restart()");
    std::lock_guard<std::mutex> lock(mTimerMutex);
    // Starting a running timer restarts its current period with the new interval, from any thread,
    // the timer's own included. While an installation holds the timer it is started again with the
    // current period at its end.
    if (mStarted && mTimerHolds == 0)
        mStatusTimer->start(static_cast<int>(mConfig.statusPeriod()));
}

void Engine::holdStatusTimer() {
    std::lock_guard<std::mutex> lock(mTimerMutex);
    if (mTimerHolds++ == 0 && mStatusTimer->running())
        mStatusTimer->stop();
}

void Engine::resumeStatusTimer() {
    std::lock_guard<std::mutex> lock(mTimerMutex);
    if (--mTimerHolds == 0 && mStarted && !mStatusTimer->running())
        mStatusTimer->start(static_cast<int>(mConfig.statusPeriod()));
}

void Engine::setDriver(DriverPtr driver) {
    DriverPtr old;
    {
        std::lock_guard<std::mutex> lock(mDriverMutex);
        // A driver may change the metrics file: the driverless reading is taken anew after it.
        if (driver)
            mFallbackMetrics.reset();
        old = std::exchange(mDriver, std::move(driver));
    }
    // The old driver goes away here, outside the pointer's guard (or later, with the last worker
    // still using it).
}

Engine::DriverPtr Engine::driverSnapshot() const {
    std::lock_guard<std::mutex> lock(mDriverMutex);
    return mDriver;
}

void Engine::runInBackground(std::function<void()> fn) {
    std::list<Task> finished;
    {
        std::lock_guard<std::mutex> lock(mTasksMutex);
        if (mTasksClosed)
            return;
        for (auto it = mTasks.begin(); it != mTasks.end();) {
            if (*it->done)
                finished.splice(finished.end(), mTasks, it++);
            else
                ++it;
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        mTasks.push_back(Task{std::thread([this, fn = std::move(fn), done] {
                                  try {
                                      fn();
                                  } catch (const std::exception& e) {
                                      log(Log::Error, "Background task failed: %s", e.what());
                                  }
                                  *done = true;
                              }),
                              done});
    }
    for (auto& task : finished)
        task.thread.join();
}

void Engine::emitLater(const Signal<>& signal, int delayMs) {
    runInBackground([&signal, delayMs] {
        if (delayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        signal.emit();
    });
}

void Engine::joinBackground() {
    std::list<Task> tasks;
    {
        std::lock_guard<std::mutex> lock(mTasksMutex);
        mTasksClosed = true;
        tasks.swap(mTasks);
    }
    for (auto& task : tasks) {
        if (task.thread.get_id() == std::this_thread::get_id())
            task.thread.detach(); // the last owner let go of the engine from one of its own tasks
        else
            task.thread.join();
    }
}

void Engine::log(Log::Level level, const char* fmt, ...) const {
    if (level > Log::level())
        return;
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0)
        std::vsnprintf(text.data(), text.size() + 1, fmt, args);
    va_end(args);
    Log::print(level, "[Engine] " + text);
}

} // namespace zelmo::Corvane
