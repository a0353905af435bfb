#pragma once

#include "Log.h"

#include <gtest/gtest.h>

#include <string>

// Mirrors the process log to standard error at debug level and collects what is written there.
class LogCapture {
public:
    LogCapture() {
        Log::open("eltra-print-tests", true, false);
        Log::setLevel(Log::Debug);
        testing::internal::CaptureStderr();
    }
    ~LogCapture() {
        if (!mTaken)
            testing::internal::GetCapturedStderr();
        Log::setStdErr(false);
        Log::setLevel(Log::Info);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() {
        mTaken = true;
        return testing::internal::GetCapturedStderr();
    }

private:
    bool mTaken = false;
};
