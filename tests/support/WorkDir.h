#pragma once

#include <filesystem>

namespace corvane::test {

// A fresh temporary working directory for one test: code under test that writes files to the working
// directory (metrics, last tickets, link debug log) writes them here. The previous working directory
// comes back and the directory goes away with everything in it on destruction.
class WorkDir {
public:
    WorkDir();
    ~WorkDir();
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
    const std::filesystem::path& path() const { return mPath; }

private:
    std::filesystem::path mPath;
    std::filesystem::path mPrevious;
};

} // namespace corvane::test
