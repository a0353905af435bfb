#pragma once

#include "Logger.h"

#include <string>
#include <vector>

namespace zelmo::Corvane::Dispensers::EltraSistemi {

// A printer resource set described by a "setup.dat" file: logo slots, logos and font files, with the
// byte blocks and command texts the printer expects for them.
class Resources : public Logger {
public:
    struct Logo {
        struct Header {
            unsigned count = 0;
            unsigned width = 0;
            unsigned height = 0;
        };
        unsigned index = 0;
        std::string name;
        bool clear = false;
        Header header;
    };

    struct Font {
        unsigned id = 0;
        // The file name as written in "setup.dat".
        std::string name;
        // Length of the font file.
        unsigned size = 0;
        // The file length as 4 bytes, most significant first, then the file itself.
        std::vector<unsigned char> data;
        // Id (2 hex digits), low 16 bits of the length (4 hex digits), then "000001".
        std::string command;
    };

    Resources() : Logger("Resources") {}

    // path names the "setup.dat" file; font files are looked up beside it.
    bool open(const std::string& path);
    void parseLogos();
    void parseFonts();

    // Logo memory layout for the printer: counts of the three slots, then width and height of each.
    std::string logoMemoryMap() const;

    const std::vector<Logo>& logos() const { return mLogos; }
    const std::vector<Font>& fonts() const { return mFonts; }
    char logoCommand() const { return mLogoCommand; }
    char fontCommand() const { return mFontCommand; }

private:
    std::string mFolder;
    std::vector<std::string> mLines;
    std::vector<Logo> mLogos;
    std::vector<Font> mFonts;
    char mLogoCommand = '\0';
    char mFontCommand = '\0';
};

} // namespace zelmo::Corvane::Dispensers::EltraSistemi
