#include "wildcard.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace tunepak {
namespace {

TEST(WildcardMatchTest, StarsAndQuestionMarks) {
    EXPECT_TRUE(WildcardMatch("*", "song.mod"));
    EXPECT_TRUE(WildcardMatch("*.mod", "SONG.MOD"));
    EXPECT_TRUE(WildcardMatch("s?ng.*", "Sing.xm"));
    EXPECT_TRUE(WildcardMatch("*a*b*c", "xxaxxbxxbc"));
    EXPECT_TRUE(WildcardMatch("a**", "a"));
    EXPECT_FALSE(WildcardMatch("?", ""));
    EXPECT_FALSE(WildcardMatch("*.mod", "song.mo"));
    EXPECT_FALSE(WildcardMatch("song", "song.mod"));
    EXPECT_FALSE(WildcardMatch("*a", "bbb"));
}

// The directory part keeps every separator and drive prefix that the system reads in a path; the
// rest is the pattern. A backslash is an ordinary byte of a POSIX name.
TEST(DirectoryPartLengthTest, SeparatorsAndDrivesOfEachSystem) {
    using platform::PathStyle;
    struct Case {
        const char* path;
        std::size_t posix;
        std::size_t windows;
    };
    for (const Case& c : {Case{"song.mod", 0, 0}, Case{"", 0, 0}, Case{"dir/*.mod", 4, 4},
                          Case{"/abs/dir/*.xm", 9, 9}, Case{"dir\\*.MOD", 0, 4},
                          Case{"a/b\\c d.it", 2, 4}, Case{"a\\b/c", 4, 4},
                          Case{"C:", 0, 2}, Case{"C:song.mod", 0, 2}, Case{"c:\\music\\*.xm", 0, 9},
                          Case{"Z:/x/", 5, 5}, Case{"1:song.mod", 0, 0}, Case{":song", 0, 0},
                          Case{"\\\\server\\share\\s.mod", 0, 15}}) {
        EXPECT_EQ(DirectoryPartLength(c.path, PathStyle::posix), c.posix) << c.path;
        EXPECT_EQ(DirectoryPartLength(c.path, PathStyle::windows), c.windows) << c.path;
    }
}

TEST(FindMatchesTest, SortedAndHiddenFilesLeftOut) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / "tunepak-wildcard-test";
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const char* name : {"b.mod", "A.MOD", ".hidden.mod", "c.xm"}) std::ofstream(dir / name) << "x";
    const std::string prefix = dir.string() + "/";
    EXPECT_EQ(FindMatches(prefix, "*.mod"), (std::vector<std::string>{"A.MOD", "b.mod"}));
    EXPECT_EQ(FindMatches(prefix, ".*"), (std::vector<std::string>{".hidden.mod"}));
    EXPECT_TRUE(FindMatches(prefix + "missing/", "*").empty());
    fs::remove_all(dir);
}

}  // namespace
}  // namespace tunepak
