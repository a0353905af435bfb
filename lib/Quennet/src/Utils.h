#pragma once

#include <list>
#include <string>

namespace Utils {
bool fileExists(const std::string& path);
std::string getFilenameFromFilepath(const std::string& path);
std::string getPathFromFilepath(const std::string& path);
std::string getFileExtension(const std::string& path);
std::string combinePath(const std::string& directory, const std::string& name);
bool match(const std::string& text, const std::string& pattern);
std::list<std::string> listFiles(const std::string& directory, const std::string& pattern = "");
std::list<std::string> listDirectories(const std::string& directory, const std::string& pattern = "");
std::string getProcessId();
} // namespace Utils

namespace Utils {
// Writes content to a temporary file beside path, flushes it to disk and renames it over path, so a
// crash or power cut leaves either the old or the new file, never a truncated one. On failure returns
// false with errno set and the old file untouched.
bool writeFileAtomically(const std::string& path, const std::string& content);
} // namespace Utils
