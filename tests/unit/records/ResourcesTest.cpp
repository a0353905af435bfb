#include "RecordsTestSupport.h"

#include "dispensers/eltra/Resources.h"

#include <gtest/gtest.h>

using records_test::LogCapture;
using records_test::TempDir;
using records_test::writeFile;
using zelmo::Corvane::Dispensers::EltraSistemi::Resources;

namespace {

class ResourcesTest : public ::testing::Test {
protected:
    std::string setup(const std::string& content) {
        writeFile(dir.file("setup.dat"), content);
        return dir.file("setup.dat");
    }
    void font(const std::string& name, std::size_t size, unsigned char fill = 0x5A) {
        writeFile(dir.file(name), std::string(size, static_cast<char>(fill)));
    }

    TempDir dir;
    Resources resources;
};

TEST_F(ResourcesTest, OneLogoSlotGivesTheLayoutText) {
    font("f3.bin", 1000);
    ASSERT_TRUE(resources.open(setup("A\n1,200,100\n0,0,0\n0,0,0\n7,1,logo.bmp,x\nF\n3,f3.bin,0\n")));
    ASSERT_EQ(resources.logos().size(), 1u);
    const auto& logo = resources.logos()[0];
    EXPECT_EQ(logo.index, 7u);
    EXPECT_TRUE(logo.clear);
    EXPECT_EQ(logo.name, "logo.bmp");
    EXPECT_EQ(logo.header.count, 1u);
    EXPECT_EQ(logo.header.width, 200u);
    EXPECT_EQ(logo.header.height, 100u);
    EXPECT_EQ(resources.logoMemoryMap(), "01000000C800640000000000000000");
    EXPECT_EQ(resources.logoCommand(), 'A');
    EXPECT_EQ(resources.fontCommand(), 'F');
    ASSERT_EQ(resources.fonts().size(), 1u);
}

TEST_F(ResourcesTest, ThreeLogoSlotsFillTheWholeLayout) {
    ASSERT_TRUE(resources.open(setup("A\n1,16,32\n2,255,1\n3,65535,4096\n1,0,a,0\n2,0,b,0\n3,1,c,0\nF\n")));
    ASSERT_EQ(resources.logos().size(), 3u);
    EXPECT_FALSE(resources.logos()[0].clear);
    EXPECT_EQ(resources.logos()[2].name, "c");
    EXPECT_EQ(resources.logoMemoryMap(), "0102030010002000FF0001FFFF1000");
    EXPECT_EQ(resources.fontCommand(), 'F');
    EXPECT_TRUE(resources.fonts().empty());
}

TEST_F(ResourcesTest, FontCommandAndLengthPrefix) {
    std::string content(1000, '\0');
    content[0] = '\x11';
    content[999] = '\x22';
    writeFile(dir.file("font3.fnt"), content);
    ASSERT_TRUE(resources.open(setup("A\n0,0,0\n0,0,0\n0,0,0\nF\n3,font3.fnt,0\n")));
    ASSERT_EQ(resources.fonts().size(), 1u);
    const auto& font = resources.fonts()[0];
    EXPECT_EQ(font.id, 3u);
    EXPECT_EQ(font.name, "font3.fnt");
    EXPECT_EQ(font.size, 1000u);
    EXPECT_EQ(font.command, "0303E8000001");
    ASSERT_EQ(font.data.size(), 1004u);
    EXPECT_EQ(font.data[0], 0x00);
    EXPECT_EQ(font.data[1], 0x00);
    EXPECT_EQ(font.data[2], 0x03);
    EXPECT_EQ(font.data[3], 0xE8);
    EXPECT_EQ(font.data[4], 0x11);
    EXPECT_EQ(font.data[1003], 0x22);
}

TEST_F(ResourcesTest, CommandCarriesOnlyTheLowSixteenBitsOfTheLength) {
    font("big.fnt", 0x12345);
    ASSERT_TRUE(resources.open(setup("A\n0,0,0\n0,0,0\n0,0,0\nF\n255,big.fnt,0\n")));
    ASSERT_EQ(resources.fonts().size(), 1u);
    EXPECT_EQ(resources.fonts()[0].command, "FF2345000001");
    const auto& data = resources.fonts()[0].data;
    EXPECT_EQ(std::vector<unsigned char>(data.begin(), data.begin() + 4),
              (std::vector<unsigned char>{0x00, 0x01, 0x23, 0x45}));
}

TEST_F(ResourcesTest, WithoutValidLogoLinesFontsStartAtLineFive) {
    font("a.fnt", 10);
    font("b.fnt", 20);
    ASSERT_TRUE(resources.open(setup("A\n0,0,0\n1,2\n0,0,0\nG\n1,a.fnt,0\n2,b.fnt,0\n")));
    EXPECT_TRUE(resources.logos().empty());
    EXPECT_EQ(resources.logoMemoryMap(), std::string(30, '0'));
    EXPECT_EQ(resources.fontCommand(), 'G');
    ASSERT_EQ(resources.fonts().size(), 2u);
    EXPECT_EQ(resources.fonts()[0].command, "01000A000001");
    EXPECT_EQ(resources.fonts()[1].command, "020014000001");
}

TEST_F(ResourcesTest, BadLinesAreSkippedWithWarnings) {
    font("good.fnt", 4);
    LogCapture capture;
    ASSERT_TRUE(resources.open(setup("A\n1,10,10\n9,9\n0,0,0\nonly,three,tokens\nF\n"
                                     "1,good.fnt\n"
                                     "2,missing.fnt,0\n"
                                     "3,good.fnt,0\n"
                                     "999,good.fnt,0\n")));
    ASSERT_EQ(resources.logos().size(), 1u);
    EXPECT_EQ(resources.logos()[0].name, "");
    ASSERT_EQ(resources.fonts().size(), 1u);
    EXPECT_EQ(resources.fonts()[0].id, 3u);

    const auto lines = capture.linesFrom("[Resources] ");
    const auto has = [&](const std::string& text) {
        return std::find(lines.begin(), lines.end(), "[Resources] " + text) != lines.end();
    };
    EXPECT_TRUE(has("Could not parse logo line '9,9': expected 3 tokens (actual=2)"));
    EXPECT_TRUE(has("Expecting Logo count 1 (10x10)"));
    EXPECT_TRUE(has("Could not parse logo line 'only,three,tokens': expected 4 tokens (actual=3)"));
    EXPECT_TRUE(has("Parsing fonts"));
    EXPECT_TRUE(has("Could not parse font line[7] '1,good.fnt': expected 3 tokens (actual=2)"));
    EXPECT_TRUE(has("Could not load font file '" + dir.file("missing.fnt") + "'"));
    EXPECT_TRUE(has("Parsed font[3]: " + dir.file("good.fnt")));
    EXPECT_TRUE(has("Could not parse font line[10] '999,good.fnt,0': font id out of range"));
}

TEST_F(ResourcesTest, ParsedLogoIsLogged) {
    LogCapture capture;
    ASSERT_TRUE(resources.open(setup("A\n2,8,8\n0,0,0\n0,0,0\n4,3,logo,0\nF\n")));
    const auto lines = capture.linesFrom("[Resources] Parsed logo");
    EXPECT_EQ(lines, std::vector<std::string>{"[Resources] Parsed logo[4]: logo (clear=3)"});
}

TEST_F(ResourcesTest, LogoValuesThatWouldShiftTheLayoutAreRejected) {
    ASSERT_TRUE(resources.open(setup("A\n256,1,1\n1,70000,1\n1,-1,1\nF\n")));
    EXPECT_TRUE(resources.logos().empty());
    EXPECT_EQ(resources.logoMemoryMap().size(), 30u);
}

TEST_F(ResourcesTest, WindowsLineEndsAreAccepted) {
    font("f.fnt", 8);
    ASSERT_TRUE(resources.open(setup("A\r\n0,0,0\r\n0,0,0\r\n0,0,0\r\nF\r\n5,f.fnt,0\r\n")));
    ASSERT_EQ(resources.fonts().size(), 1u);
    EXPECT_EQ(resources.fonts()[0].name, "f.fnt");
}

TEST_F(ResourcesTest, BareFileNameLooksForFontsInTheCurrentDirectory) {
    font("f.fnt", 8);
    setup("A\n0,0,0\n0,0,0\n0,0,0\nF\n5,f.fnt,0\n");
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const bool opened = resources.open("setup.dat");
    std::filesystem::current_path(previous);
    ASSERT_TRUE(opened);
    EXPECT_EQ(resources.fonts().size(), 1u);
}

TEST_F(ResourcesTest, MissingSetupFileFails) {
    LogCapture capture;
    const std::string path = dir.file("setup.dat");
    EXPECT_FALSE(resources.open(path));
    EXPECT_EQ(capture.linesFrom("[Resources] "),
              std::vector<std::string>{"[Resources] Could not open " + path});
}

TEST_F(ResourcesTest, EmptySetupFileFails) {
    LogCapture capture;
    const std::string path = setup("");
    EXPECT_FALSE(resources.open(path));
    EXPECT_EQ(capture.linesFrom("[Resources] "),
              std::vector<std::string>{"[Resources] Could not read " + path + ": file is empty"});
    EXPECT_TRUE(resources.fonts().empty());
}

TEST_F(ResourcesTest, ShortFileHasNoFontCommand) {
    ASSERT_TRUE(resources.open(setup("A\n")));
    EXPECT_EQ(resources.logoCommand(), 'A');
    EXPECT_EQ(resources.fontCommand(), '\0');
    EXPECT_TRUE(resources.fonts().empty());
}

TEST_F(ResourcesTest, ReopeningReplacesThePreviousSet) {
    font("f.fnt", 8);
    ASSERT_TRUE(resources.open(setup("A\n0,0,0\n0,0,0\n0,0,0\nF\n5,f.fnt,0\n")));
    ASSERT_TRUE(resources.open(setup("A\n1,1,1\n0,0,0\n0,0,0\n1,0,l,0\nF\n")));
    EXPECT_EQ(resources.logos().size(), 1u);
    EXPECT_TRUE(resources.fonts().empty());
}

} // namespace
