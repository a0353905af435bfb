#include "Utils.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Utils {

bool fileExists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

std::string getFilenameFromFilepath(const std::string& path) {
    const std::size_t pos = path.find_last_of("/\\");
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string getPathFromFilepath(const std::string& path) {
    const std::size_t pos = path.find_last_of("/\\");
    return pos == std::string::npos ? path : path.substr(0, pos);
}

std::string getFileExtension(const std::string& path) {
    // Only the file name counts: a dot in a folder name is not an extension.
    const std::string name = getFilenameFromFilepath(path);
    const std::size_t pos = name.find_last_of('.');
    return pos == std::string::npos ? std::string() : name.substr(pos);
}

std::string combinePath(const std::string& directory, const std::string& name) {
    if (name.empty())
        return directory;
    const std::string rest = name.front() == '/' ? name.substr(1) : name;
    if (directory.empty())
        return rest;
    if (directory.back() == '/')
        return directory + rest;
    return directory + "/" + rest;
}

bool match(const std::string& text, const std::string& pattern) {
    std::size_t t = 0, p = 0;
    std::size_t starP = std::string::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++t;
            ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (starP != std::string::npos) {
            // Let the last '*' swallow one more character and retry.
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

namespace {
std::list<std::string> listEntries(const std::string& directory, const std::string& pattern, bool wantDirs) {
    std::list<std::string> result;
    DIR* dir = opendir(directory.c_str());
    if (!dir)
        return result;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.empty() || name.front() == '.')
            continue;
        if (!pattern.empty() && !match(name, pattern))
            continue;
        const std::string full = combinePath(directory, name);
        struct stat info {};
        if (stat(full.c_str(), &info) != 0)
            continue;
        if (S_ISDIR(info.st_mode) == wantDirs)
            result.push_back(full);
    }
    closedir(dir);
    return result;
}
} // namespace

std::list<std::string> listFiles(const std::string& directory, const std::string& pattern) {
    return listEntries(directory, pattern, false);
}

std::list<std::string> listDirectories(const std::string& directory, const std::string& pattern) {
    return listEntries(directory, pattern, true);
}

std::string getProcessId() {
    return std::to_string(getpid());
}

namespace {
bool writeAll(int fd, const std::string& content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Best effort: makes the rename itself durable.
void syncDirectory(const std::string& path) {
    const std::size_t pos = path.find_last_of('/');
    const std::string dir = pos == std::string::npos ? "." : (pos == 0 ? "/" : path.substr(0, pos));
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}
} // namespace

bool writeFileAtomically(const std::string& linkOrPath, const std::string& content) {
    static std::atomic<unsigned> counter{0};
    // Write through a symbolic link, as a plain rewrite would, instead of replacing the link itself.
    std::string path = linkOrPath;
    struct stat linkInfo {};
    if (lstat(path.c_str(), &linkInfo) == 0 && S_ISLNK(linkInfo.st_mode)) {
        if (char* resolved = realpath(path.c_str(), nullptr)) {
            path = resolved;
            std::free(resolved);
        }
    }
    std::string temp;
    int fd = -1;
    // The temporary file must be in the same folder, or rename() would not be atomic.
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;

    // Keep the permissions of the file being replaced.
    struct stat old {};
    if (stat(path.c_str(), &old) == 0)
        fchmod(fd, old.st_mode & 07777);

    bool ok = writeAll(fd, content) && fsync(fd) == 0;
    int savedErrno = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        savedErrno = errno;
    }
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        savedErrno = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        errno = savedErrno;
        return false;
    }
    syncDirectory(path);
    return true;
}

} // namespace Utils
