#pragma once

#include "CommandRunner.h"
#include "Engine.h"
#include "ErrorCode.h"
#include "Helpers.h"
#include "FakeDriver.h"
#include "Log.h"
#include "Timer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace engine_test {

namespace fs = std::filesystem;
using nlohmann::json;
using zelmo::Corvane::Engine;
using zelmo::Corvane::ErrorCode;

// Polls until the condition holds; false after the limit.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "engine-test-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        mPath = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(mPath, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return mPath; }

private:
    fs::path mPath;
};

inline void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::string readText(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream buffer;
    buffer << file.rdbuf();
    return buffer.str();
}

// Collects the log lines: the log is mirrored to standard error, which goes to a file meanwhile.
class LogCapture {
public:
    LogCapture() : mFile(fs::temp_directory_path() / ("engine-log-" + std::to_string(::getpid()) + ".txt")) {
        std::fflush(stderr);
        mSaved = ::dup(2);
        const int fd = ::open(mFile.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_APPEND, 0600);
        ::dup2(fd, 2);
        ::close(fd);
        Log::setStdErr(true);
    }
    ~LogCapture() {
        Log::setStdErr(false);
        std::fflush(stderr);
        ::dup2(mSaved, 2);
        ::close(mSaved);
        std::error_code ec;
        fs::remove(mFile, ec);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const { return readText(mFile); }
    int count(const std::string& needle) const {
        const std::string all = text();
        int n = 0;
        for (auto pos = all.find(needle); pos != std::string::npos;
             pos = all.find(needle, pos + needle.size()))
            ++n;
        return n;
    }
    bool contains(const std::string& needle) const { return count(needle) > 0; }

private:
    fs::path mFile;
    int mSaved = -1;
};

// Records the programs it is asked to run instead of running them.
class RecordingRunner : public CommandRunner {
public:
    int run(const std::string& program, const std::vector<std::string>& args) override {
        std::lock_guard<std::mutex> lock(mMutex);
        std::vector<std::string> call{program};
        call.insert(call.end(), args.begin(), args.end());
        mCalls.push_back(call);
        return 1;
    }
    std::vector<std::vector<std::string>> calls() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mCalls;
    }

private:
    mutable std::mutex mMutex;
    std::vector<std::vector<std::string>> mCalls;
};

// Opens the engine's internals that the tests drive directly (one poll at a time, the factory).
class TestEngine : public Engine {
public:
    using Engine::driverFactory;
    using Engine::Engine;
    using Engine::statusFunction;
};

// Every test runs in a directory of its own (the metrics file is relative to it), with a fake device
// behind the factory and the application folders below it.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        Log::open("engine-test", false, false);
        Log::setLevel(Log::Debug);
        mOldCwd = fs::current_path();
        fs::current_path(dir.path());
        configFile = dir.path() / "corvane.json";
        appDir = dir.path() / "app";
        fs::create_directories(appDir);
    }
    void TearDown() override {
        engine.reset();
        fs::current_path(mOldCwd);
    }

    Engine::Options options() {
        Engine::Options opts;
        opts.driverFactory = [this](const std::string& path) -> std::unique_ptr<Dispensers::Driver> {
            ++factoryCalls;
            {
                std::lock_guard<std::mutex> lock(factoryMutex);
                factoryPaths.push_back(path);
            }
            if (factoryThrows)
                throw std::runtime_error("Could not open device");
            if (factoryFails)
                return nullptr;
            return std::make_unique<FakeDriver>(device);
        };
        opts.commandRunner = runner;
        opts.applicationDirectory = appDir.string();
        return opts;
    }

    TestEngine& makeEngine(const std::string& devicePath = "/dev/fakeDispenser") {
        engine = std::make_unique<TestEngine>(devicePath, configFile.string(), options());
        return *engine;
    }

    // Configuration with a short poll period, so started engines tick quickly.
    void writeFastConfig(int period = 20) { writeText(configFile, json{{"statusPeriod", period}}.dump()); }

    json configOnDisk() const { return json::parse(readText(configFile)); }

    // Runs polls until the engine holds a driver (or the limit is reached).
    bool pollUntilDriver(int maxTicks = 10) {
        for (int i = 0; i < maxTicks; ++i) {
            engine->statusFunction();
            if (engine->getModel())
                return true;
        }
        return false;
    }

    TempDir dir;
    fs::path configFile;
    fs::path appDir;
    std::shared_ptr<FakeDevice> device = std::make_shared<FakeDevice>();
    std::shared_ptr<RecordingRunner> runner = std::make_shared<RecordingRunner>();
    std::atomic<int> factoryCalls{0};
    std::atomic<bool> factoryFails{false};
    std::atomic<bool> factoryThrows{false};
    std::mutex factoryMutex;
    std::vector<std::string> factoryPaths;
    std::unique_ptr<TestEngine> engine;

private:
    fs::path mOldCwd;
};

} // namespace engine_test
