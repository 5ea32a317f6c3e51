// tunepak-render run on small AM modules: WAVE and raw output, the song's length, packed input,
// and the errors.

#include <filesystem>
#include <string>

#include "io/endian.h"
#include "program_runner.h"
#include "render.h"

namespace tunepak {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::ReadFile;
using test::WriteFile;

// An AM module of one empty pattern of `rows` rows at speed 6, tempo 125: at 44,100 Hz each
// row is 6 x 882 frames.
Bytes SilentSong(int rows) {
    test::ByteWriter file;
    file.Text("RIFF", 4).U32(0).Text("AMFF", 4);
    file.Text("MAIN", 4).U32(74).Text("quiet", 32).Fill(32).Raw({3, 1, 6, 125});
    file.U16(1814).U16(13696).U8(128).U8(32);
    file.Text("ORDR", 4).U32(2).U8(0).U8(0);
    const auto count = static_cast<std::uint32_t>(rows);
    file.Text("PATT", 4).U32(5 + count + 1).U8(0);
    file.U32(count).U8(count - 1).Fill(count);  // the last row index, then the empty rows
    file.PutU32At(4, static_cast<std::uint32_t>(file.size() - 8));
    return file.bytes();
}

class RenderTest : public ::testing::Test {
protected:
    test::Outcome Render(const std::string& arguments) {
        return temporary.Run(TUNEPAK_RENDER_EXE, arguments);
    }

    test::TemporaryDirectory temporary;
    const fs::path& dir = temporary.path();
};

TEST_F(RenderTest, WritesAWaveFileOfTheWholeSong) {
    WriteFile(dir / "song.am", SilentSong(4));
    const test::Outcome run = Render("song.am");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const Bytes wave = ReadFile(dir / "Song.wav");
    constexpr std::uint32_t frames = 4 * 6 * 882;
    const auto header = WaveHeader(frames, 44100);
    ASSERT_EQ(wave.size(), 44 + 4 * frames);
    EXPECT_TRUE(std::equal(header.begin(), header.end(), wave.begin()));
    EXPECT_EQ(std::string(wave.begin(), wave.begin() + 4), "RIFF");
    EXPECT_EQ(ReadLe32(&wave[40]), 4 * frames);
    EXPECT_EQ(ReadLe32(&wave[24]), 44100u);
}

TEST_F(RenderTest, RawOutputStopsAtTheEndOrPlaysOnWhenLooping) {
    WriteFile(dir / "song.am", SilentSong(2));
    const test::Outcome whole = Render("--rate 8000 -o - song.am");
    EXPECT_EQ(whole.exitCode, 0);
    EXPECT_EQ(whole.out.size(), 4u * 2 * 6 * 160);
    const test::Outcome looped = Render("--rate 8000 --seconds 0.5 --loop -o - song.am");
    EXPECT_EQ(looped.exitCode, 0);
    EXPECT_EQ(looped.out.size(), 4u * 4000);
    const test::Outcome cut = Render("--rate 8000 --seconds 0.1 -o - song.am");
    EXPECT_EQ(cut.out.size(), 4u * 800);
}

TEST_F(RenderTest, PlaysAPackedModuleAsItsSource) {
    WriteFile(dir / "song.am", SilentSong(3));
    ASSERT_EQ(temporary.Run(TUNEPAK_EXE, "song.am").exitCode, 0);
    const test::Outcome packed = Render("-o - Song.vmz");
    const test::Outcome source = Render("-o - song.am");
    EXPECT_EQ(packed.exitCode, 0) << packed.err;
    EXPECT_EQ(packed.out.size(), 4u * 3 * 6 * 882);
    EXPECT_EQ(packed.out, source.out);

    Bytes damaged = ReadFile(dir / "Song.vmz");
    damaged.resize(30);
    WriteFile(dir / "Damaged.vmz", damaged);
    const test::Outcome bad = Render("-o - Damaged.vmz");
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("Damaged.vmz"), std::string::npos);
    EXPECT_EQ(bad.out, "");
}

// Names are UTF-8 whatever the system's code page, in and out: on Windows a narrow fopen would
// miss both files.
TEST_F(RenderTest, FileNamesBeyondAsciiAreOpenedAndWritten) {
    WriteFile(dir / u8"S\u00f6 ng \u266a.am", SilentSong(2));
    const test::Outcome run = Render("-o '\u00c9t\u00e9.wav' 'S\u00f6 ng \u266a.am'");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadFile(dir / u8"\u00c9t\u00e9.wav").size(), 44u + 4 * 2 * 6 * 882);
}

// A directory or a device is not a module to open, and is never waited on.
TEST_F(RenderTest, OnlyRegularFilesAreOpened) {
    fs::create_directory(dir / "folder.mod");
    EXPECT_EQ(Render("folder.mod").exitCode, 3);
}

TEST_F(RenderTest, ErrorsAndTheirExitCodes) {
    WriteFile(dir / "song.am", SilentSong(1));
    WriteFile(dir / "junk.txt", Bytes(100, 'x'));
    for (const char* arguments : {"", "a b", "--rate 100 song.am", "--seconds -1 song.am",
                                  "--seconds x song.am", "--bogus song.am", "--loop song.am"}) {
        const test::Outcome run = Render(arguments);
        EXPECT_EQ(run.exitCode, 1) << arguments;
        EXPECT_NE(run.err.find("Usage : tunepak-render"), std::string::npos) << arguments;
    }
    EXPECT_EQ(Render("missing.mod").exitCode, 3);
    const test::Outcome junk = Render("junk.txt");
    EXPECT_EQ(junk.exitCode, 2);
    EXPECT_NE(junk.err.find("unrecognised"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "Junk.wav"));
    EXPECT_EQ(Render("-o /nonexistent/x.wav song.am").exitCode, 2);

    test::ExpectHelpAndVersion(temporary, TUNEPAK_RENDER_EXE, "tunepak-render",
                               "Usage : tunepak-render");
}

}  // namespace
}  // namespace tunepak
