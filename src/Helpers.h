#pragma once

#include "ErrorCode.h"

#include <map>
#include <string>
#include <vector>

namespace zelmo::Corvane::Helpers {

std::string byteToHex(unsigned char byte);
std::string bytesToHex(const std::vector<unsigned char>& bytes, bool spaced);
std::string leftPad(const std::string& text, std::size_t width);
bool fileToVec(const std::string& path, std::vector<unsigned char>& bytes);
bool mkdir(const std::string& path);
// Throws std::runtime_error when the directory cannot be resolved.
std::string getExecutableDirectory();
// Throws std::invalid_argument when the code page is unknown or the conversion fails.
std::string utf8ToIbmCcsid(const std::string& text, unsigned ccsid);

bool isSymlink(const std::string& path);
std::string readSymlink(const std::string& path);

std::string ecToString(ErrorCode e);

// The last-tickets file: lines "key:true|false".
void createDefaultLastTicketsFile(const std::string& path);
std::map<std::string, bool> readValuesFromFile(const std::string& path);
void writeValuesToFile(const std::string& path, const std::map<std::string, bool>& values);

} // namespace zelmo::Corvane::Helpers
