#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/FileUtils.h"
#include "support/FsTestUtil.h"
#include "support/ScratchMachine.h"
#include "base/mcFileFinder.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ScratchMachine;
using fstest::WriteFile;
using Strings = std::vector<std::string>;

// Every path the finder reports, in order; directories marked with a "/".
Strings FindAll(const std::string& pattern, int mode, bool recursive) {
    Strings found;
    mcFileFinder finder;
    for (bool b = finder.Find(pattern, mode, recursive); b; b = finder.FindNext()) {
        EXPECT_FALSE(finder.IsDots());
        found.push_back(finder.GetFilePath() + (finder.IsDirectory() ? "/" : ""));
    }
    EXPECT_EQ(finder.GetFilePath(), "");
    EXPECT_FALSE(finder.FindNext());
    return found;
}

// A tree:
//   root/ b.txt a.xml .hidden.txt  d1/ (c.txt, sub/ (e.txt, f.xml))  d2/ (g.txt)  empty/
class FileFinderTree : public ::testing::Test {
protected:
    void SetUp() override {
        root = tmp / "root";
        ASSERT_TRUE(mfCreateDirectories(root + "/d1/sub"));
        ASSERT_TRUE(mfCreateDirectories(root + "/d2"));
        ASSERT_TRUE(mfCreateDirectories(root + "/empty"));
        for (const char* f : {"b.txt", "a.xml", ".hidden.txt", "d1/c.txt", "d1/sub/e.txt", "d1/sub/f.xml",
                              "d2/g.txt"}) {
            WriteFile(root + "/" + f, f);
        }
    }
    ScratchMachine tmp;
    std::string root;
};

TEST(FileFinderPattern, Wildcards) {
    struct Case {
        const char* name;
        const char* pattern;
        bool match;
    };
    const Case cases[] = {
        {"abc", "*", true},
        {".hidden", "*", true},
        {"noext", "*.*", true},
        {"a.b.c", "*.*", true},
        {"a.b", "*.b", true},
        {"a.bc", "*.b", false},
        {"abc", "a?c", true},
        {"ac", "a?c", false},
        {"abbc", "a?c", false},
        {"\xC3\xA9x", "?x", true},  // "?" is one character, not one byte
        {"aXbXc", "a*b*c", true},
        {"abcbd", "a*b?", true},
        {"abc", "abd", false},
        {"ABC", "abc", false},  // names are case-sensitive
        {"abc", "*c*", true},
        {"a[b]", "a[b]", true},  // brackets are plain characters
        {"ab", "a[b]", false},
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*a*a*c", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mcFileFinder::MatchesPattern(c.name, c.pattern), c.match) << c.name << " ~ " << c.pattern;
    }
}

TEST_F(FileFinderTree, ModesInOneDirectory) {
    EXPECT_EQ(FindAll(root + "/*", mcFileFinder::kFilesOnly, false),
              (Strings{root + "/.hidden.txt", root + "/a.xml", root + "/b.txt"}));
    EXPECT_EQ(FindAll(root + "/*.*", mcFileFinder::kDirectoriesOnly, false),
              (Strings{root + "/d1/", root + "/d2/", root + "/empty/"}));
    EXPECT_EQ(FindAll(root + "/*", mcFileFinder::kFilesAndDirectories, false),
              (Strings{root + "/.hidden.txt", root + "/a.xml", root + "/b.txt", root + "/d1/", root + "/d2/",
                       root + "/empty/"}));
    EXPECT_EQ(FindAll(root + "/*.xml", mcFileFinder::kFilesOnly, false), (Strings{root + "/a.xml"}));
    EXPECT_EQ(FindAll(root + "/*.none", mcFileFinder::kFilesOnly, false), Strings{});
    EXPECT_EQ(FindAll(root + "/missing/*", mcFileFinder::kFilesOnly, false), Strings{});
}

TEST_F(FileFinderTree, RecursionIsDepthFirstParentBeforeChildren) {
    EXPECT_EQ(FindAll(root + "/*.txt", mcFileFinder::kFilesOnly, true),
              (Strings{root + "/.hidden.txt", root + "/b.txt", root + "/d1/c.txt", root + "/d1/sub/e.txt",
                       root + "/d2/g.txt"}));
    EXPECT_EQ(FindAll(root + "/*", mcFileFinder::kDirectoriesOnly, true),
              (Strings{root + "/d1/", root + "/d2/", root + "/empty/", root + "/d1/sub/"}));
    // Only the deepest folder has a match: the search walks on through the
    // folders without one.
    EXPECT_EQ(FindAll(root + "/f.*", mcFileFinder::kFilesOnly, true), (Strings{root + "/d1/sub/f.xml"}));
}

TEST_F(FileFinderTree, LinksAreEntriesNotDirectories) {
    fs::create_directory_symlink(root, root + "/d1/loop");  // a cycle
    fs::create_directory_symlink(tmp.Path(), root + "/up");
    const Strings found = FindAll(root + "/*", mcFileFinder::kFilesOnly, true);
    EXPECT_EQ(found.size(), 9u);  // 7 files + 2 links, each once
    EXPECT_NE(std::find(found.begin(), found.end(), root + "/d1/loop"), found.end());
    EXPECT_EQ(FindAll(root + "/*", mcFileFinder::kDirectoriesOnly, true).size(), 4u);
}

TEST_F(FileFinderTree, DirectoryPartVariants) {
    // A doubled separator before the name pattern does not double in paths.
    EXPECT_EQ(FindAll(root + "/d2//*", mcFileFinder::kFilesOnly, false), (Strings{root + "/d2/g.txt"}));
    // No directory part: the current working directory.
    const fs::path saved = fs::current_path();
    fs::current_path(root + "/d2");
    const Strings found = FindAll("*.txt", mcFileFinder::kFilesOnly, false);
    fs::current_path(saved);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(fs::path(found[0]).filename(), "g.txt");
    EXPECT_EQ(fs::canonical(found[0]), fs::canonical(root + "/d2/g.txt"));
}

TEST_F(FileFinderTree, FindRestartsAndCloseForgets) {
    mcFileFinder finder;
    ASSERT_TRUE(finder.Find(root + "/*.txt", mcFileFinder::kFilesOnly, true));
    ASSERT_TRUE(finder.Find(root + "/d2/*", mcFileFinder::kFilesOnly, false));
    EXPECT_EQ(finder.GetFilePath(), root + "/d2/g.txt");
    EXPECT_EQ(finder.GetFileName(), "g.txt");
    EXPECT_FALSE(finder.FindNext());
    ASSERT_TRUE(finder.Find(root + "/*", mcFileFinder::kFilesOnly, false));
    finder.Close();
    EXPECT_EQ(finder.GetFilePath(), "");
    EXPECT_FALSE(finder.FindNext());
}

}  // namespace
