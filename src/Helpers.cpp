#include "Helpers.h"

#include "String.h"
#include "Utils.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <libgen.h>
#include <memory>
#include <stdexcept>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unicode/ucnv.h>
#include <unicode/unistr.h>

namespace zelmo::Corvane::Helpers {

std::string byteToHex(unsigned char byte) {
    return String::format("%02X", byte);
}

std::string bytesToHex(const std::vector<unsigned char>& bytes, bool spaced) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * (spaced ? 3 : 2));
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
        if (spaced)
            text += ' ';
    }
    return text;
}

std::string leftPad(const std::string& text, std::size_t width) {
    if (text.size() >= width)
        return text;
    return std::string(width - text.size(), '0') + text;
}

bool fileToVec(const std::string& path, std::vector<unsigned char>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.insert(bytes.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool mkdir(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0)
        return true;
    // A concurrent creator counts as success too.
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

std::string getExecutableDirectory() {
    const auto* started = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
    if (!started)
        throw std::runtime_error("Executable path unknown");
    std::string copy = started; // dirname may modify its argument
    const char* dir = dirname(copy.data());
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(dir, nullptr), &std::free);
    if (!resolved)
        throw std::runtime_error(String::format("Cannot resolve executable directory '%s'", dir));
    return resolved.get();
}

std::string utf8ToIbmCcsid(const std::string& text, unsigned ccsid) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UConverter, decltype(&ucnv_close)> converter(
        ucnv_openCCSID(static_cast<int32_t>(ccsid), UCNV_IBM, &status), &ucnv_close);
    if (U_FAILURE(status) || !converter)
        throw std::invalid_argument(String::format("Failed to obtain codepage converter: %d\n", status));

    // Characters the code page lacks become the substitution byte 0x1A, mapped to 0x80 below.
    ucnv_setSubstChars(converter.get(), "\x1A", 1, &status);
    status = U_ZERO_ERROR;

    const icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(text);
    std::string result(static_cast<std::size_t>(unicode.length()), '\0');
    char* target = result.data();
    const UChar* source = unicode.getBuffer();
    ucnv_fromUnicode(converter.get(), &target, result.data() + result.size(), &source,
                     source + unicode.length(), nullptr, true, &status);
    if (U_FAILURE(status))
        throw std::invalid_argument(String::format("Failed to convert char set: %d\n", status));

    // A character made of two UTF-16 units yields one byte: drop the unfilled tail rather than
    // sending NUL bytes to the printer.
    result.resize(static_cast<std::size_t>(target - result.data()));
    for (char& c : result) {
        if (c == '\x1A')
            c = static_cast<char>(0x80);
    }
    return result;
}

bool isSymlink(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

std::string readSymlink(const std::string& path) {
    char buffer[1024] = {0};
    // One byte stays free so the target is always terminated.
    const ssize_t length = readlink(path.c_str(), buffer, sizeof(buffer) - 1);
    if (length < 0)
        return {};
    return std::string(buffer, static_cast<std::size_t>(length));
}

std::string ecToString(ErrorCode e) {
    const int value = static_cast<int>(e);
    if (value == 0 || (value >= 2 && value <= 21))
        return corvaneCategory().message(value);
    return "UnknownError";
}

void createDefaultLastTicketsFile(const std::string& path) {
    if (std::ifstream(path).is_open())
        return;
    Utils::writeFileAtomically(path, "reel1LastTicket:false\nreel2LastTicket:false\n");
}

std::map<std::string, bool> readValuesFromFile(const std::string& path) {
    std::map<std::string, bool> values;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        values[line.substr(0, colon)] = line.substr(colon + 1) == "true";
    }
    return values;
}

void writeValuesToFile(const std::string& path, const std::map<std::string, bool>& values) {
    std::string content;
    for (const auto& [key, value] : values)
        content += key + ":" + (value ? "true" : "false") + "\n";
    // Replaced in one step so a power cut never leaves a half-written file.
    Utils::writeFileAtomically(path, content);
}

} // namespace zelmo::Corvane::Helpers
