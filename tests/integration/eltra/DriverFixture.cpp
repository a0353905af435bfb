#include "DriverFixture.h"

#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace eltratest {

WorkDir::WorkDir() {
    char pattern[] = "/tmp/eltra-it-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    mPath = pattern;
    mPrevious = std::filesystem::current_path();
    std::filesystem::current_path(mPath);
}

WorkDir::~WorkDir() {
    std::error_code ec;
    std::filesystem::current_path(mPrevious, ec);
    std::filesystem::remove_all(mPath, ec);
}

Timing fastTiming() {
    Timing timing;
    timing.pollIntervalMs = 10;
    timing.readTimeoutMs = 200;
    return timing;
}

int threadCount() {
    // A sanitizer runtime starts its own helper thread with the first thread the process creates;
    // create one first so that helper is already counted and only the driver's threads make a difference.
    std::thread([] {}).join();
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

void DriverOnSimulator::SetUp() {
    Log::open("eltra-tests", true, false);
    Log::setLevel(Log::Debug);
    Driver::forgetReelLevels();
    driver = std::make_unique<Driver>(sim.link(), fastTiming());
    ASSERT_FALSE(driver->start());
}

void DriverOnSimulator::TearDown() {
    if (capturing)
        captured();
    driver.reset();
}

void DriverOnSimulator::restart(const Timing& timing) {
    driver.reset();
    driver = std::make_unique<Driver>(sim.link(), timing);
    ASSERT_FALSE(driver->start());
}

void DriverOnSimulator::captureLog() {
    ::testing::internal::CaptureStderr();
    capturing = true;
}

std::string DriverOnSimulator::captured() {
    capturing = false;
    return ::testing::internal::GetCapturedStderr();
}

} // namespace eltratest
