// End-to-end tests: the built program run in a temporary directory.


#include <filesystem>
#include <string>

#include <zlib.h>

#include "driver.h"
#include "container/container.h"
#include "packed_files.h"
#include "platform.h"
#include "program_runner.h"

namespace tunepak {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::ReadFile;
using test::TunepakTest;
using test::WriteFile;

// A small valid AM module of `padding` extra bytes (an unknown chunk), so sizes can be chosen.
Bytes AmModule(std::size_t size = 0) {
    test::ByteWriter file;
    file.Text("RIFF", 4).U32(0).Text("AMFF", 4);
    file.Text("MAIN", 4).U32(74).Text("song", 32).Fill(32).Raw({3, 1, 6, 125}).U16(1814).U16(13696);
    file.U8(128).U8(32);
    file.Text("ORDR", 4).U32(2).U8(0).U8(0);
    file.Text("PATT", 4).U32(7).U8(0).U32(1).Raw({0, 0});
    if (size > file.size() + 8) {
        const std::size_t pad = size - file.size() - 8;
        file.Text("JUNK", 4).U32(static_cast<std::uint32_t>(pad)).Fill(pad, 0x11);
    }
    file.PutU32At(4, static_cast<std::uint32_t>(file.size() - 8));
    return file.bytes();
}

TEST_F(TunepakTest, WrongArgumentCountsPrintTheUsage) {
    for (const char* arguments : {"", "a b"}) {
        const test::Outcome run = Tunepak(arguments);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, "Usage : tunepak <SourceFile.ext>\n");
    }
}

TEST_F(TunepakTest, HelpAndVersion) {
    test::ExpectHelpAndVersion(temporary, TUNEPAK_EXE, "tunepak",
                               "Usage : tunepak <SourceFile.ext>\n");
}

TEST_F(TunepakTest, ConvertsOneAndTwoFiles) {
    WriteFile(dir / "first.am", AmModule());
    const test::Outcome one = Tunepak("first.am");
    EXPECT_EQ(one.exitCode, 0);
    EXPECT_EQ(one.out, "Converting \"first.am\"\nFirst      (0 Kb -> 0 Kb)\n");
    EXPECT_TRUE(fs::exists(dir / "First.vmz"));

    WriteFile(dir / "second.am", AmModule(3000));
    const test::Outcome two = Tunepak("'*.am'");
    EXPECT_EQ(two.exitCode, 0);
    EXPECT_EQ(two.out,
              "Converting \"*.am\"\nFirst      (0 Kb -> 0 Kb)\nSecond     (3 Kb -> 0 Kb)\n");
    EXPECT_EQ(two.err, "");
}

TEST_F(TunepakTest, OutputNaming) {
    fs::create_directory(dir / "in");
    fs::create_directory(dir / "out");
    WriteFile(dir / "in" / "MY.SONG.XM", AmModule());
    const test::Outcome run = Tunepak("../in/my.song.?m", dir / "out");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "Converting \"../in/my.song.?m\"\nMy.song    (0 Kb -> 0 Kb)\n");
    EXPECT_TRUE(fs::exists(dir / "out" / "My.song.vmz"));
    EXPECT_FALSE(fs::exists(dir / "in" / "My.song.vmz"));

    EXPECT_EQ(OutputBaseName("SONG.MOD"), "Song");
    EXPECT_EQ(OutputBaseName("dir.d/song.mod"), "Song");
    EXPECT_EQ(OutputBaseName("noext"), "Noext");
    EXPECT_EQ(OutputBaseName("1st.it"), "1st");
}

TEST_F(TunepakTest, SizeFigures) {
    EXPECT_EQ(SizeFigure(511), 0u);
    EXPECT_EQ(SizeFigure(512), 1u);
    EXPECT_EQ(SizeFigure(1535), 1u);
    EXPECT_EQ(SizeFigure(1536), 2u);
    for (const auto& [size, figure] : {std::pair{511, "0"}, {512, "1"}, {1535, "1"}, {1536, "2"}}) {
        WriteFile(dir / "sized.am", AmModule(static_cast<std::size_t>(size)));
        ASSERT_EQ(fs::file_size(dir / "sized.am"), static_cast<std::uintmax_t>(size));
        const test::Outcome run = Tunepak("sized.am");
        EXPECT_EQ(run.out, std::string("Converting \"sized.am\"\nSized      (") + figure + " Kb -> 0 Kb)\n");
    }
}

TEST_F(TunepakTest, ADirectoryMatchIsNotFoundAndEndsTheRun) {
    WriteFile(dir / "a.am", AmModule());
    fs::create_directory(dir / "b.am");
    WriteFile(dir / "c.am", AmModule());
    const test::Outcome run = Tunepak("'*.am'");
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.out,
              "Converting \"*.am\"\nA          (0 Kb -> 0 Kb)\nB          (Not found: 'b.am'...\n");
    EXPECT_TRUE(fs::exists(dir / "A.vmz"));
    EXPECT_FALSE(fs::exists(dir / "C.vmz"));
}

TEST_F(TunepakTest, AFailedLoadIsReportedAndWritesNothing) {
    WriteFile(dir / "bad.mod", Bytes(2000, 0x42));
    WriteFile(dir / "Bad.vmz", Bytes{1, 2, 3});
    WriteFile(dir / "good.mod", AmModule());
    const test::Outcome run = Tunepak("'*.mod'");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "Converting \"*.mod\"\n"
                       "Bad        (2 Kb -> failed: unrecognised or damaged module)\n"
                       "Good       (0 Kb -> 0 Kb)\n");
    EXPECT_EQ(ReadFile(dir / "Bad.vmz"), (Bytes{1, 2, 3}));  // left untouched
    EXPECT_TRUE(fs::exists(dir / "Good.vmz"));
}

TEST_F(TunepakTest, AnUnwritableOutputIsReported) {
    WriteFile(dir / "song.am", AmModule());
    fs::create_directory(dir / "Song.vmz");  // cannot be created as a file
    const test::Outcome run = Tunepak("song.am");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "Converting \"song.am\"\nSong       (0 Kb -> failed: cannot write Song.vmz)\n");
}

// Files are packed while the next ones load; their lines still come out whole and in order,
// whatever becomes of each.
TEST_F(TunepakTest, LinesKeepTheOrderOfTheFiles) {
    std::string expected = "Converting \"*.am\"\n";
    for (int i = 0; i < 12; ++i) {
        const std::string base = "Song" + std::to_string(10 + i);  // padded to 10 in the line
        const std::string name = "song" + std::to_string(10 + i) + ".am";
        const std::string start = base + "     (";
        switch (i % 3) {
            case 0:
                WriteFile(dir / name, AmModule(1024 * (40 + static_cast<std::size_t>(i))));
                expected += start + std::to_string(40 + i) + " Kb -> 0 Kb)\n";
                break;
            case 1:
                WriteFile(dir / name, Bytes(1500, 0x42));
                expected += start + "1 Kb -> failed: unrecognised or damaged module)\n";
                break;
            default:
                WriteFile(dir / name, AmModule());
                fs::create_directory(dir / (base + ".vmz"));
                expected += start + "0 Kb -> failed: cannot write " + base + ".vmz)\n";
                break;
        }
    }
    const test::Outcome run = Tunepak("'*.am'");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, expected);
}

TEST_F(TunepakTest, NoMatch) {
    const test::Outcome run = Tunepak("'*.xm'");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "Converting \"*.xm\"\n");
    EXPECT_EQ(run.err, "tunepak: no file matches '*.xm'\n");
}

// Windows reads '\\' as a separator too and a drive prefix as part of the directory; outputs still
// land in the current directory under the usual name, and any name the system can spell works.
TEST_F(TunepakTest, WindowsPathRules) {
    if (platform::nativePathStyle != platform::PathStyle::windows) {
        GTEST_SKIP() << "backslashes and drive prefixes separate directories only on Windows";
    }
    fs::create_directories(dir / "in" / "sub dir");
    fs::create_directory(dir / "out");
    WriteFile(dir / "in" / "A.AM", AmModule());
    WriteFile(dir / "in" / "sub dir" / u8"Sö ng.am", AmModule());
    const test::Outcome backslashes = Tunepak("'..\\in\\*.am'", dir / "out");
    EXPECT_EQ(backslashes.exitCode, 0);
    EXPECT_EQ(backslashes.out, "Converting \"..\\in\\*.am\"\nA          (0 Kb -> 0 Kb)\n");
    EXPECT_TRUE(fs::exists(dir / "out" / "A.vmz"));

    const test::Outcome mixed = Tunepak("'../in\\sub dir/*.AM'", dir / "out");
    EXPECT_EQ(mixed.exitCode, 0);
    EXPECT_EQ(mixed.out, "Converting \"../in\\sub dir/*.AM\"\n"
                         "S\xc3\xb6 ng     (0 Kb -> 0 Kb)\n");
    EXPECT_TRUE(fs::exists(dir / "out" / u8"Sö ng.vmz"));

    // "C:a.am" names a.am in drive C:'s current directory, which is this one.
    const std::string drive = dir.root_name().string();
    ASSERT_EQ(drive.size(), 2u);
    const test::Outcome relative = Tunepak(drive + "A.AM", dir / "in");
    EXPECT_EQ(relative.exitCode, 0);
    EXPECT_EQ(relative.out, "Converting \"" + drive + "A.AM\"\nA          (0 Kb -> 0 Kb)\n");
    EXPECT_TRUE(fs::exists(dir / "in" / "A.vmz"));

    const test::Outcome none = Tunepak("'in\\*.xm'");
    EXPECT_EQ(none.exitCode, 0);
    EXPECT_EQ(none.err, "tunepak: no file matches 'in\\*.xm'\n");
    const test::Outcome directory = Tunepak("'in\\sub*'");
    EXPECT_EQ(directory.exitCode, 3);
    EXPECT_EQ(directory.out, "Converting \"in\\sub*\"\nSub dir    (Not found: 'in\\sub dir'...\n");
}

TEST_F(TunepakTest, ContainerHoldsTheCompressedImage) {
    const Bytes source = AmModule(700);
    WriteFile(dir / "song.am", source);
    ASSERT_EQ(Tunepak("song.am").exitCode, 0);
    const Bytes packed = ReadFile(dir / "Song.vmz");
    ASSERT_GT(packed.size(), containerHeaderSize);
    EXPECT_EQ(std::string(packed.begin(), packed.begin() + 4), "MUSE");
    EXPECT_EQ(Bytes(packed.begin() + 4, packed.begin() + 8), (Bytes{0xDE, 0xAD, 0xBA, 0xBE}));
    const ContainerHeader header = test::HeaderOf(packed);
    EXPECT_EQ(std::uint32_t{header.totalLength}, packed.size());
    const std::uint32_t length = header.compressedLength;
    EXPECT_EQ(length, packed.size() - containerHeaderSize);
    EXPECT_EQ(std::uint32_t{header.crc}, crc32(0, packed.data() + containerHeaderSize, length));

    // The image is the source written again, less its unknown chunk.
    const Bytes image = test::InflatedImage(packed);
    EXPECT_EQ(image, AmModule());

    // Level 9, as compress2 makes it.
    Bytes again(packed.size());
    uLongf againLength = again.size();
    ASSERT_EQ(compress2(again.data(), &againLength, image.data(), image.size(), 9), Z_OK);
    EXPECT_EQ(Bytes(again.begin(), again.begin() + static_cast<std::ptrdiff_t>(againLength)),
              Bytes(packed.begin() + containerHeaderSize, packed.end()));

    // Converting again gives the same bytes.
    ASSERT_EQ(Tunepak("song.am").exitCode, 0);
    EXPECT_EQ(ReadFile(dir / "Song.vmz"), packed);
}

}  // namespace
}  // namespace tunepak
