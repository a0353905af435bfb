#pragma once

#include "Log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace records_test {

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "records-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        mPath = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string path() const { return mPath.string(); }
    std::string file(const std::string& name) const { return (mPath / name).string(); }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(mPath))
            names.push_back(entry.path().filename().string());
        return names;
    }

private:
    std::filesystem::path mPath;
};

inline std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
}

// Routes the log to standard error at debug level and collects everything written to fd 2 while
// it lives. A pipe with a reader thread is used, so the capture works even when regular file writes
// are limited.
class LogCapture {
public:
    LogCapture() {
        Log::open("records-test", true, false);
        Log::setLevel(Log::Debug);
        if (pipe2(mPipe, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2 failed");
        std::fflush(stderr);
        mSavedStderr = dup(STDERR_FILENO);
        dup2(mPipe[1], STDERR_FILENO);
        close(mPipe[1]);
        mReader = std::thread([this] {
            char buffer[4096];
            ssize_t n;
            while ((n = read(mPipe[0], buffer, sizeof buffer)) > 0)
                mText.append(buffer, static_cast<std::size_t>(n));
        });
    }
    ~LogCapture() { stop(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Ends the capture and returns what was logged.
    const std::string& text() {
        stop();
        return mText;
    }

    // The logged lines that contain marker, each cut to begin at the marker.
    std::vector<std::string> linesFrom(const std::string& marker) {
        std::vector<std::string> result;
        std::istringstream in(text());
        std::string line;
        while (std::getline(in, line)) {
            const auto at = line.find(marker);
            if (at != std::string::npos)
                result.push_back(line.substr(at));
        }
        return result;
    }

private:
    void stop() {
        if (mStopped)
            return;
        mStopped = true;
        std::fflush(stderr);
        dup2(mSavedStderr, STDERR_FILENO);
        close(mSavedStderr);
        mReader.join();
        close(mPipe[0]);
        Log::setStdErr(false);
    }

    int mPipe[2] = {-1, -1};
    int mSavedStderr = -1;
    std::thread mReader;
    std::string mText;
    bool mStopped = false;
};

} // namespace records_test
