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
