#pragma once

#include "ElgSimulator.h"

#include "Log.h"
#include "dispensers/eltra/Driver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

namespace eltratest {

using zelmo::Corvane::Dispensers::EltraSistemi::ELG150191::Driver;
using zelmo::Corvane::Dispensers::EltraSistemi::ELG150191::Timing;

// The driver writes its metrics, last-tickets file and link debug log to the working directory:
// every test runs in a fresh one.
class WorkDir {
public:
    WorkDir();
    ~WorkDir();
    const std::filesystem::path& path() const { return mPath; }

private:
    std::filesystem::path mPath;
    std::filesystem::path mPrevious;
};

// Limits for tests that do not provoke a time-out: production limits, faster polling.
Timing fastTiming();

int threadCount();

class DriverOnSimulator : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Restarts the driver with other limits.
    void restart(const Timing& timing);
    std::string captured();

    WorkDir dir;
    ElgSimulator sim;
    std::unique_ptr<Driver> driver;
    bool capturing = false;

    void captureLog();
};

} // namespace eltratest
