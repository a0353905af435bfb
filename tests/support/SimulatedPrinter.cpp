#include "SimulatedPrinter.h"

#include "dispensers/eltra/Firmware.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace corvane::test {

std::function<void(std::chrono::milliseconds)> PauseLog::sleeper() {
    return [this](std::chrono::milliseconds duration) {
        std::lock_guard<std::mutex> lock(mMutex);
        mTaken.push_back(static_cast<long>(duration.count()));
    };
}

std::vector<long> PauseLog::taken() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mTaken;
}

void Emissions::add(float value) {
    std::lock_guard<std::mutex> lock(mMutex);
    mValues.push_back(value);
}

std::vector<float> Emissions::values() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mValues;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path) << text;
}

std::vector<std::string> hexPackets(const std::string& image) {
    zelmo::Corvane::Dispensers::EltraSistemi::Firmware firmware;
    if (!firmware.open(image))
        throw std::runtime_error("cannot open firmware " + image);
    std::vector<std::string> packets;
    for (const auto& packet : firmware.bytes()) {
        std::string hex;
        for (const uint8_t byte : packet) {
            char text[4];
            std::snprintf(text, sizeof(text), "%02x", byte);
            hex += text;
        }
        packets.push_back(hex);
    }
    return packets;
}

Timing fastTiming() {
    Timing t;
    t.pollIntervalMs = 10;
    t.readTimeoutMs = 200;
    return t;
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

Timing SimulatedPrinter::timing() {
    Timing t = fastTiming();
    // Generous: only the tests of a silent printer wait them out, and they shorten them.
    t.bootLoaderReadLimit = std::chrono::milliseconds(5000);
    t.fontAckLimit = std::chrono::milliseconds(10000);
    t.sleep = pauses.sleeper();
    return t;
}

void SimulatedPrinter::SetUp() {
    Log::open("simulated-printer-tests", true, false);
    Log::setLevel(Log::Debug);
    Driver::forgetReelLevels();
    restart();
}

void SimulatedPrinter::TearDown() {
    if (mCapturing)
        capturedLog();
    driver.reset();
}

void SimulatedPrinter::restart() {
    restart(timing());
}

void SimulatedPrinter::restart(const Timing& t) {
    driver.reset();
    driver = std::make_unique<Driver>(sim.link(), t);
    ASSERT_FALSE(driver->start());
}

void SimulatedPrinter::captureLog() {
    ::testing::internal::CaptureStderr();
    mCapturing = true;
}

std::string SimulatedPrinter::capturedLog() {
    mCapturing = false;
    return ::testing::internal::GetCapturedStderr();
}

std::vector<std::string> SimulatedPrinter::records(const std::string& prefix) {
    std::vector<std::string> lines;
    for (const auto& line : sim.records())
        if (line.rfind(prefix, 0) == 0)
            lines.push_back(line);
    return lines;
}

} // namespace corvane::test
