#include "Helpers.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <libgen.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace H = zelmo::Corvane::Helpers;
using zelmo::Corvane::ErrorCode;

namespace {

TEST(HelpersHex, ByteToHexIsTwoUpperCaseDigits) {
    EXPECT_EQ(H::byteToHex(0x00), "00");
    EXPECT_EQ(H::byteToHex(0x0a), "0A");
    EXPECT_EQ(H::byteToHex(0xff), "FF");
}

TEST(HelpersHex, BytesToHexIsLowerCaseWithTrailingBlankWhenSpaced) {
    EXPECT_EQ(H::bytesToHex({0x4C, 0x0A}, true), "4c 0a ");
    EXPECT_EQ(H::bytesToHex({0x4C, 0x0A}, false), "4c0a");
    EXPECT_EQ(H::bytesToHex({}, true), "");
    EXPECT_EQ(H::bytesToHex({}, false), "");
}

TEST(HelpersLeftPad, PadsWithZeros) {
    EXPECT_EQ(H::leftPad("7d", 4), "007d");
    EXPECT_EQ(H::leftPad("12345", 4), "12345");
    EXPECT_EQ(H::leftPad("abcd", 4), "abcd");
    EXPECT_EQ(H::leftPad("", 2), "00");
}

TEST(HelpersFileToVec, AppendsWholeBinaryContent) {
    TempDir dir;
    const std::string path = dir.write("blob", std::string("\x00\x01\xff\n\r", 5));
    std::vector<unsigned char> bytes{0xAA};
    ASSERT_TRUE(H::fileToVec(path, bytes));
    EXPECT_EQ(bytes, (std::vector<unsigned char>{0xAA, 0x00, 0x01, 0xFF, '\n', '\r'}));
}

TEST(HelpersFileToVec, MissingFileLeavesVectorUnchanged) {
    std::vector<unsigned char> bytes{1, 2};
    EXPECT_FALSE(H::fileToVec("/nonexistent/corvane/blob", bytes));
    EXPECT_EQ(bytes, (std::vector<unsigned char>{1, 2}));
}

TEST(HelpersMkdir, CreatesOrAcceptsExisting) {
    TempDir dir;
    EXPECT_TRUE(H::mkdir(dir.file("new")));
    struct stat info {};
    ASSERT_EQ(stat(dir.file("new").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(
        info.st_mode & 0777, 0755u & ~[] {
            const mode_t mask = umask(0);
            umask(mask);
            return mask;
        }());
    EXPECT_TRUE(H::mkdir(dir.file("new")));
    EXPECT_TRUE(H::mkdir(dir.write("plain", "x")));    // something exists there
    EXPECT_FALSE(H::mkdir(dir.file("missing/child"))); // no parents are created
}

TEST(HelpersExecutableDirectory, IsTheResolvedFolderOfThisProgram) {
    char exe[PATH_MAX] = {0};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof(exe) - 1), 0);
    EXPECT_EQ(H::getExecutableDirectory(), std::string(dirname(exe)));
}

TEST(HelpersSymlink, DetectsAndReads) {
    TempDir dir;
    const std::string target = dir.write("target", "x");
    ASSERT_EQ(symlink(target.c_str(), dir.file("link").c_str()), 0);
    EXPECT_TRUE(H::isSymlink(dir.file("link")));
    EXPECT_FALSE(H::isSymlink(target));
    EXPECT_FALSE(H::isSymlink(dir.file("none")));
    EXPECT_EQ(H::readSymlink(dir.file("link")), target);
    EXPECT_EQ(H::readSymlink(target), "");
}

TEST(HelpersSymlink, LongTargetIsTruncatedNotOverrun) {
    TempDir dir;
    const std::string longTarget(2000, 'a');
    ASSERT_EQ(symlink(longTarget.c_str(), dir.file("link").c_str()), 0);
    EXPECT_EQ(H::readSymlink(dir.file("link")), longTarget.substr(0, 1023));
}

TEST(HelpersCodePage, ConvertsToIbm850) {
    // 'A', e-acute, u-umlaut in code page 850.
    EXPECT_EQ(H::utf8ToIbmCcsid("A\u00e9\u00fc", 850), std::string("A\x82\x81"));
    EXPECT_EQ(H::utf8ToIbmCcsid("", 850), "");
    EXPECT_EQ(H::utf8ToIbmCcsid("plain text 123", 437), "plain text 123");
}

TEST(HelpersCodePage, MissingCharacterBecomes0x80) {
    // The euro sign is not in code page 850 (it is in 858).
    EXPECT_EQ(H::utf8ToIbmCcsid("1\u20ac", 850), std::string("1\x80"));
    EXPECT_EQ(H::utf8ToIbmCcsid("1\u20ac", 858), std::string("1\xd5"));
    // Chinese is missing too, one replacement per character.
    EXPECT_EQ(H::utf8ToIbmCcsid("\u4e2d\u6587", 437), std::string("\x80\x80"));
}

TEST(HelpersCodePage, CharacterOutsideTheBasicPlaneGivesOneByteAndNoPadding) {
    const std::string result = H::utf8ToIbmCcsid("a\U0001F600b", 850);
    EXPECT_EQ(result, std::string("a\x80"
                                  "b"));
}

TEST(HelpersCodePage, UnknownCcsidThrows) {
    try {
        H::utf8ToIbmCcsid("x", 999999);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Failed to obtain codepage converter: ", 0), 0u) << e.what();
    }
}

TEST(HelpersLastTickets, DefaultFileCreatedOnlyWhenMissing) {
    TempDir dir;
    H::createDefaultLastTicketsFile(dir.file(".lastTickets"));
    EXPECT_EQ(dir.read(".lastTickets"), "reel1LastTicket:false\nreel2LastTicket:false\n");

    dir.write(".lastTickets", "reel1LastTicket:true\n");
    H::createDefaultLastTicketsFile(dir.file(".lastTickets"));
    EXPECT_EQ(dir.read(".lastTickets"), "reel1LastTicket:true\n");
}

TEST(HelpersLastTickets, ReadParsesKeyValueLines) {
    TempDir dir;
    dir.write("values", "reel1LastTicket:true\n\nno colon here\nreel2LastTicket:false\nodd:TRUE\n"
                        "url:http://x:true\nspace: true\n");
    const auto values = H::readValuesFromFile(dir.file("values"));
    const std::map<std::string, bool> expected{{"reel1LastTicket", true},
                                               {"reel2LastTicket", false},
                                               {"odd", false},
                                               {"url", false},
                                               {"space", false}};
    EXPECT_EQ(values, expected);
    EXPECT_TRUE(H::readValuesFromFile(dir.file("missing")).empty());
}

TEST(HelpersLastTickets, WriteRewritesInKeyOrderKeepingExtraKeys) {
    TempDir dir;
    dir.write("values", "reel2LastTicket:true\nfoo:true\nreel1LastTicket:false\nlonger old content\n");
    auto values = H::readValuesFromFile(dir.file("values"));
    values["reel2LastTicket"] = false;
    H::writeValuesToFile(dir.file("values"), values);
    EXPECT_EQ(dir.read("values"), "foo:true\nreel1LastTicket:false\nreel2LastTicket:false\n");

    H::writeValuesToFile(dir.file("fresh"), {{"b", true}, {"a", false}});
    EXPECT_EQ(dir.read("fresh"), "a:false\nb:true\n");
}

} // namespace
