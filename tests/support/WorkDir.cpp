#include "WorkDir.h"

#include <cstdlib>
#include <stdexcept>

namespace corvane::test {

WorkDir::WorkDir() {
    char pattern[] = "/tmp/corvane-work-XXXXXX";
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

} // namespace corvane::test
