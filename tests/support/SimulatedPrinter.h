#pragma once

#include "ElgSimulator.h"
#include "WorkDir.h"

#include "Log.h"
#include "dispensers/eltra/Driver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace corvane::test {

using zelmo::Corvane::Dispensers::EltraSistemi::ELG150191::Driver;
using zelmo::Corvane::Dispensers::EltraSistemi::ELG150191::Timing;

// Records the fixed pauses the driver asks for instead of sleeping through them.
class PauseLog {
public:
    std::function<void(std::chrono::milliseconds)> sleeper();
    std::vector<long> taken() const;

private:
    mutable std::mutex mMutex;
    std::vector<long> mTaken;
};

// Values a signal emitted, in order.
class Emissions {
public:
    void add(float value);
    std::vector<float> values() const;

private:
    mutable std::mutex mMutex;
    std::vector<float> mValues;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& text);

// The boot-loader packets of an S-record file as lower-case hex, one string per packet, the way the
// simulator records them. Throws std::runtime_error when the file does not open.
std::vector<std::string> hexPackets(const std::string& image);

// Limits for tests that do not provoke a time-out: production limits, faster polling.
Timing fastTiming();

// Threads of this process.
int threadCount();

// The driver started against the printer simulator, with quick polling and recorded pauses.
class SimulatedPrinter : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // fastTiming() with generous boot-loader and font limits and the pauses recorded in `pauses`.
    Timing timing();
    void restart();
    // Restarts the driver with other limits.
    void restart(const Timing& timing);
    // Standard error (with the process log mirrored at debug level) from now on.
    void captureLog();
    std::string capturedLog();
    // The record lines of the simulator that start with prefix.
    std::vector<std::string> records(const std::string& prefix);

    WorkDir dir;
    ElgSimulator sim;
    PauseLog pauses;
    std::unique_ptr<Driver> driver;

private:
    bool mCapturing = false;
};

} // namespace corvane::test
