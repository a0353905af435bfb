#include "Utils.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(UtilsPath, Pieces) {
    struct Case {
        const char* path;
        const char* file;
        const char* dir;
        const char* ext;
    };
    for (const Case& c :
         {Case{"/data/fw/image.s19", "image.s19", "/data/fw", ".s19"},
          Case{"setup.dat", "setup.dat", "setup.dat", ".dat"},
          Case{"C:\\fonts\\a.ttf", "a.ttf", "C:\\fonts", ".ttf"}, Case{"/data/README", "README", "/data", ""},
          Case{"archive.tar.gz", "archive.tar.gz", "archive.tar.gz", ".gz"},
          Case{"/etc.d/config", "config", "/etc.d", ""}, Case{"dir/", "", "dir", ""}}) {
        EXPECT_EQ(Utils::getFilenameFromFilepath(c.path), c.file) << c.path;
        EXPECT_EQ(Utils::getPathFromFilepath(c.path), c.dir) << c.path;
        EXPECT_EQ(Utils::getFileExtension(c.path), c.ext) << c.path;
    }
}

TEST(UtilsPath, CombinePath) {
    struct Case {
        const char* dir;
        const char* name;
        const char* expected;
    };
    for (const Case& c : {Case{"/data/", "/setup.dat", "/data/setup.dat"}, Case{"dir", "f", "dir/f"},
                          Case{"dir/", "f", "dir/f"}, Case{"dir", "/f", "dir/f"}, Case{"dir", "", "dir"},
                          Case{"", "/f", "f"}, Case{"", "f", "f"}, Case{"/", "f", "/f"}}) {
        EXPECT_EQ(Utils::combinePath(c.dir, c.name), c.expected) << c.dir << " + " << c.name;
    }
}

TEST(UtilsMatch, Wildcards) {
    struct Case {
        const char* text;
        const char* pattern;
        bool expected;
    };
    for (const Case& c :
         {Case{"fw.s19", "*.s19", true}, Case{"fw.s19", "*.bin", false}, Case{"abXc", "a*b*c", true},
          Case{"abc", "a*b*c", true}, Case{"acb", "a*b*c", false}, Case{"abc", "a?c", true},
          Case{"ac", "a?c", false}, Case{"anything", "*", true}, Case{"", "*", true}, Case{"", "", true},
          Case{"a", "", false}, Case{"fw.s19.bak", "*.s19", false}, Case{"aaab", "*a*b", true},
          Case{"mississippi", "m*iss*ppi", true}, Case{"prefix-rest", "prefix*", true},
          Case{"abc", "abc", true}, Case{"abc", "ab", false}}) {
        EXPECT_EQ(Utils::match(c.text, c.pattern), c.expected) << c.text << " ~ " << c.pattern;
    }
}

TEST(UtilsListing, FilesAndDirectoriesSeparatedHiddenSkipped) {
    TempDir dir;
    dir.write("a.s19", "1");
    dir.write("b.bin", "2");
    dir.write(".hidden.s19", "3");
    mkdir(dir.file("sub").c_str(), 0755);
    mkdir(dir.file("sub.s19").c_str(), 0755);
    mkdir(dir.file(".git").c_str(), 0755);
    symlink("sub", dir.file("link").c_str());
    symlink("missing", dir.file("dangling").c_str());

    auto sorted = [](std::list<std::string> l) {
        l.sort();
        return l;
    };
    EXPECT_EQ(sorted(Utils::listFiles(dir.path())),
              (std::list<std::string>{dir.file("a.s19"), dir.file("b.bin")}));
    EXPECT_EQ(Utils::listFiles(dir.path(), "*.s19"), std::list<std::string>{dir.file("a.s19")});
    EXPECT_EQ(sorted(Utils::listDirectories(dir.path())),
              (std::list<std::string>{dir.file("link"), dir.file("sub"), dir.file("sub.s19")}));
    EXPECT_EQ(Utils::listDirectories(dir.path(), "*.s19"), std::list<std::string>{dir.file("sub.s19")});
    EXPECT_EQ(Utils::listFiles(dir.path() + "/", "a*"), std::list<std::string>{dir.file("a.s19")});
}

TEST(UtilsListing, UnreadableDirectoryGivesEmptyList) {
    EXPECT_TRUE(Utils::listFiles("/nonexistent/corvane").empty());
    EXPECT_TRUE(Utils::listDirectories("/nonexistent/corvane").empty());
}

TEST(UtilsFiles, FileExistsForAnyKindOfEntry) {
    TempDir dir;
    EXPECT_TRUE(Utils::fileExists(dir.path()));
    EXPECT_TRUE(Utils::fileExists(dir.write("f", "")));
    EXPECT_FALSE(Utils::fileExists(dir.file("nothing")));
}

TEST(UtilsFiles, ProcessId) {
    EXPECT_EQ(Utils::getProcessId(), std::to_string(getpid()));
}

TEST(UtilsWriteFileAtomically, CreatesAndReplaces) {
    TempDir dir;
    ASSERT_TRUE(Utils::writeFileAtomically(dir.file("doc.json"), "first"));
    EXPECT_EQ(dir.read("doc.json"), "first");
    ASSERT_TRUE(Utils::writeFileAtomically(dir.file("doc.json"), std::string("sec\0ond", 7)));
    EXPECT_EQ(dir.read("doc.json"), std::string("sec\0ond", 7));
    ASSERT_TRUE(Utils::writeFileAtomically(dir.file("doc.json"), ""));
    EXPECT_EQ(dir.read("doc.json"), "");
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(UtilsWriteFileAtomically, KeepsPermissionsOfReplacedFile) {
    TempDir dir;
    const std::string path = dir.write("doc", "old");
    chmod(path.c_str(), 0640);
    ASSERT_TRUE(Utils::writeFileAtomically(path, "new"));
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST(UtilsWriteFileAtomically, FailureLeavesOldContentAndNoTemporary) {
    TempDir dir;
    // A directory in the way makes the final rename fail after the data was written.
    mkdir(dir.file("target").c_str(), 0755);
    dir.write("target/inside", "keep");
    errno = 0;
    EXPECT_FALSE(Utils::writeFileAtomically(dir.file("target"), "replacement"));
    EXPECT_NE(errno, 0);
    EXPECT_EQ(dir.read("target/inside"), "keep");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(UtilsWriteFileAtomically, WritesThroughSymbolicLink) {
    TempDir dir;
    mkdir(dir.file("real").c_str(), 0755);
    dir.write("real/config.json", "old");
    ASSERT_EQ(symlink("real/config.json", dir.file("config.json").c_str()), 0);
    ASSERT_TRUE(Utils::writeFileAtomically(dir.file("config.json"), "new"));
    struct stat info {};
    ASSERT_EQ(lstat(dir.file("config.json").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(dir.read("real/config.json"), "new");
}

TEST(UtilsWriteFileAtomically, MissingFolderFails) {
    errno = 0;
    EXPECT_FALSE(Utils::writeFileAtomically("/nonexistent/corvane/file", "x"));
    EXPECT_EQ(errno, ENOENT);
}

} // namespace
