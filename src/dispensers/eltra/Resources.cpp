#include "dispensers/eltra/Resources.h"

#include "Helpers.h"
#include "String.h"
#include "Utils.h"

#include <fstream>

namespace zelmo::Corvane::Dispensers::EltraSistemi {

namespace {

constexpr std::size_t kLogoSlots = 3;

char firstChar(const std::string& line) {
    return line.empty() ? '\0' : line.front();
}

bool inRange(int64_t value, int64_t max) {
    return value >= 0 && value <= max;
}

} // namespace

bool Resources::open(const std::string& path) {
    // A bare file name lies in the current directory.
    mFolder = Utils::getFilenameFromFilepath(path) == path ? "." : Utils::getPathFromFilepath(path);
    mLines.clear();
    mLogos.clear();
    mFonts.clear();
    mLogoCommand = '\0';
    mFontCommand = '\0';

    std::ifstream file(path);
    if (!file) {
        log(Log::Error, "Could not open %s", path.c_str());
        return false;
    }
    std::string line;
    while (std::getline(file, line)) {
        // Files written on Windows end their lines with CR LF.
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        mLines.push_back(line);
    }
    if (mLines.empty()) {
        log(Log::Error, "Could not read %s: file is empty", path.c_str());
        return false;
    }
    parseLogos();
    parseFonts();
    return true;
}

void Resources::parseLogos() {
    mLogos.clear();
    mLogoCommand = mLines.empty() ? '\0' : firstChar(mLines[0]);

    for (std::size_t i = 1; i <= kLogoSlots && i < mLines.size(); ++i) {
        const auto values = String::tokenizeV(mLines[i], ",");
        if (values.size() != 3) {
            log(Log::Warning, "Could not parse logo line '%s': expected 3 tokens (actual=%zu)",
                mLines[i].c_str(), values.size());
            continue;
        }
        const int64_t count = String::toInteger(values[0]);
        const int64_t width = String::toInteger(values[1]);
        const int64_t height = String::toInteger(values[2]);
        // The layout sends the count in 2 and the sizes in 4 hex digits; larger values would shift it.
        if (!inRange(count, 0xFF) || !inRange(width, 0xFFFF) || !inRange(height, 0xFFFF)) {
            log(Log::Warning, "Could not parse logo line '%s': value out of range", mLines[i].c_str());
            continue;
        }
        if (count == 0)
            continue;
        Logo logo;
        logo.header = {static_cast<unsigned>(count), static_cast<unsigned>(width),
                       static_cast<unsigned>(height)};
        mLogos.push_back(logo);
        log(Log::Info, "Expecting Logo count %zu (%zux%zu)", static_cast<std::size_t>(count),
            static_cast<std::size_t>(width), static_cast<std::size_t>(height));
    }

    for (std::size_t k = 1; k <= mLogos.size(); ++k) {
        const std::size_t lineNo = kLogoSlots + k;
        const std::string line = lineNo < mLines.size() ? mLines[lineNo] : std::string();
        const auto values = String::tokenizeV(line, ",");
        if (values.size() != 4) {
            log(Log::Warning, "Could not parse logo line '%s': expected 4 tokens (actual=%zu)", line.c_str(),
                values.size());
            continue;
        }
        Logo& logo = mLogos[k - 1];
        const int64_t clear = String::toInteger(values[1]);
        logo.index = static_cast<unsigned>(String::toInteger(values[0]));
        logo.clear = clear != 0;
        logo.name = values[2];
        log(Log::Info, "Parsed logo[%zu]: %s (clear=%zu)", static_cast<std::size_t>(logo.index),
            logo.name.c_str(), static_cast<std::size_t>(clear));
    }
}

void Resources::parseFonts() {
    log(Log::Info, "Parsing fonts");
    mFonts.clear();
    const std::size_t commandLine = kLogoSlots + 1 + mLogos.size();
    mFontCommand = commandLine < mLines.size() ? firstChar(mLines[commandLine]) : '\0';

    for (std::size_t i = commandLine + 1; i < mLines.size(); ++i) {
        const auto values = String::tokenizeV(mLines[i], ",");
        if (values.size() != 3) {
            log(Log::Warning, "Could not parse font line[%zu] '%s': expected 3 tokens (actual=%zu)", i + 1,
                mLines[i].c_str(), values.size());
            continue;
        }
        const int64_t id = String::toInteger(values[0]);
        // The command carries the id in two hex digits.
        if (!inRange(id, 0xFF)) {
            log(Log::Warning, "Could not parse font line[%zu] '%s': font id out of range", i + 1,
                mLines[i].c_str());
            continue;
        }
        const std::string path = Utils::combinePath(mFolder, values[1]);
        std::vector<unsigned char> bytes;
        if (!Helpers::fileToVec(path, bytes) || bytes.size() > 0xFFFFFFFFu) {
            log(Log::Warning, "Could not load font file '%s'", path.c_str());
            continue;
        }
        Font font;
        font.id = static_cast<unsigned>(id);
        font.name = values[1];
        font.size = static_cast<unsigned>(bytes.size());
        font.data.reserve(bytes.size() + 4);
        for (int shift = 24; shift >= 0; shift -= 8)
            font.data.push_back(static_cast<unsigned char>((font.size >> shift) & 0xFFu));
        font.data.insert(font.data.end(), bytes.begin(), bytes.end());
        font.command = String::format("%.2X%.4X000001", font.id, font.size & 0xFFFFu);
        mFonts.push_back(std::move(font));
        log(Log::Info, "Parsed font[%zu]: %s", static_cast<std::size_t>(id), path.c_str());
    }
}

std::string Resources::logoMemoryMap() const {
    Logo::Header slots[kLogoSlots];
    for (std::size_t i = 0; i < kLogoSlots && i < mLogos.size(); ++i)
        slots[i] = mLogos[i].header;
    return String::format("%.2X%.2X%.2X%.4X%.4X%.4X%.4X%.4X%.4X", slots[0].count, slots[1].count,
                          slots[2].count, slots[0].width, slots[0].height, slots[1].width, slots[1].height,
                          slots[2].width, slots[2].height);
}

} // namespace zelmo::Corvane::Dispensers::EltraSistemi
