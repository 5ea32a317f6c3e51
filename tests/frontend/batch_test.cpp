// What a run does to the files around it: one output per name, and packed files that are not
// sources. The tests that watch, limit and interrupt a running batch are in batch_posix_test.cpp.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "batch_modules.h"
#include "program_runner.h"

namespace tunepak {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::ModModule;
using test::ReadFile;
using test::WriteFile;

class BatchTest : public test::TunepakTest {};

// The first source of an output name keeps it; a later one of the same name is refused, whether
// the names differ in case or in extension. A source that fails leaves the name to a later one.
TEST_F(BatchTest, OneOutputNameIsWrittenOnceInARun) {
    fs::create_directory(dir / "alone");
    WriteFile(dir / "alone" / "SONG.MOD", ModModule(1, 3000, 1));
    ASSERT_EQ(Tunepak("SONG.MOD", dir / "alone").exitCode, 0);
    const Bytes first = ReadFile(dir / "alone" / "Song.vmz");

    fs::create_directory(dir / "in");
    fs::rename(dir / "alone" / "SONG.MOD", dir / "in" / "SONG.MOD");
    // A file system that ignores case (as Windows' do) holds one of SONG.MOD and song.mod only.
    const bool caseSensitive = !fs::exists(dir / "in" / "song.mod");
    WriteFile(dir / "in" / "Song.xm", ModModule(1, 3000, 2));
    if (caseSensitive) WriteFile(dir / "in" / "song.mod", ModModule(1, 3000, 3));
    WriteFile(dir / "in" / "X.mod", Bytes(600, 0x42));
    WriteFile(dir / "in" / "x.xm", ModModule(1, 3000, 4));
    WriteFile(dir / "Song.vmz", Bytes{1, 2, 3});  // from an earlier run: replaced
    const test::Outcome run = Tunepak("'in/*'");
    EXPECT_EQ(run.exitCode, 2);
    const std::string taken = "Song       (5 Kb -> failed: Song.vmz already holds SONG.MOD)\n";
    EXPECT_EQ(run.out, "Converting \"in/*\"\n"
                       "Song       (5 Kb -> 3 Kb)\n" +
                           taken + "X          (1 Kb -> failed: unrecognised or damaged module)\n" +
                           (caseSensitive ? taken : "") + "X          (5 Kb -> 3 Kb)\n");
    EXPECT_EQ(ReadFile(dir / "Song.vmz"), first);
}

// A read-only output (one that no one may write) is not replaced, by tunepak or tunepak-render:
// the line says it cannot be written, and the file stays as it was, on every system.
TEST_F(BatchTest, AReadOnlyOutputIsNotReplaced) {
    WriteFile(dir / "tune.mod", ModModule(1, 2000, 15));
    const Bytes earlier(100, 0x44);
    for (const char* name : {"Tune.vmz", "Tune.wav"}) {
        WriteFile(dir / name, earlier);
        fs::permissions(dir / name, fs::perms::owner_write | fs::perms::group_write |
                                        fs::perms::others_write,
                        fs::perm_options::remove);
    }
    const test::Outcome batch = Tunepak("tune.mod");
    EXPECT_EQ(batch.out, "Converting \"tune.mod\"\n"
                         "Tune       (4 Kb -> failed: cannot write Tune.vmz)\n");
    EXPECT_EQ(batch.exitCode, 2);
    EXPECT_EQ(temporary.Run(TUNEPAK_RENDER_EXE, "tune.mod", {}).exitCode, 2);
    EXPECT_EQ(ReadFile(dir / "Tune.vmz"), earlier);
    EXPECT_EQ(ReadFile(dir / "Tune.wav"), earlier);
    // Windows removes no read-only file when the directory is cleaned up.
    for (const char* name : {"Tune.vmz", "Tune.wav"}) {
        fs::permissions(dir / name, fs::perms::owner_write, fs::perm_options::add);
    }
}

TEST_F(BatchTest, APackedModuleIsNotASource) {
    WriteFile(dir / "song.mod", ModModule(1, 2000, 13));
    ASSERT_EQ(Tunepak("song.mod").exitCode, 0);
    const Bytes packed = ReadFile(dir / "Song.vmz");
    fs::copy_file(dir / "Song.vmz", dir / "old.vmz");
    const test::Outcome run = Tunepak("'*.vmz'");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "Converting \"*.vmz\"\n"
                       "Song       (2 Kb -> failed: already a packed module)\n"
                       "Old        (2 Kb -> failed: already a packed module)\n");
    EXPECT_EQ(ReadFile(dir / "Song.vmz"), packed);
}

}  // namespace
}  // namespace tunepak
