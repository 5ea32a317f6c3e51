// tunepak-info: the pattern grid, and the built program run in a temporary directory beside
// tunepak, its JSON read back and compared with the model.


#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "container/container.h"
#include "loaders/loaders.h"
#include "model/patterns.h"
#include "packed_files.h"
#include "player/playback.h"
#include "platform.h"
#include "summary.h"
#include "program_runner.h"

namespace tunepak {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::Bytes;
using test::ReadFile;
using test::ReadText;
using test::WriteFile;

// --- The grid ---------------------------------------------------------------------------------

TEST(InfoGrid, ShowsASmallKnownPattern) {
    // Row 0: channel 2 slides volume down by 4 with instrument 1, C-5, volume 40.
    // Row 1: key off on channel 0, volume 64 alone on channel 1. Row 2: empty.
    const Bytes bytes = {2, 0xE2, 0x04, 0x0A, 0x01, 0x3D, 0x28, 0, 0x40, 0, 128, 0x21, 64, 0, 0};
    const PatternSummary pattern{0, 3, bytes};
    EXPECT_EQ(PatternGrid(pattern, 3, "  "),
              "  row | ch 0           | ch 1           | ch 2\n"
              "  000 | ... ... .. ... | ... ... .. ... | C-5 001 40 A04\n"
              "  001 | === ... .. ... | ... ... 64 ... | ... ... .. ...\n"
              "  002 | ... ... .. ... | ... ... .. ... | ... ... .. ...\n");

    // Data that ends inside row 1 shows the rows it has and says so.
    const PatternSummary cut{0, 3, Bytes(bytes.begin(), bytes.begin() + 10)};
    EXPECT_EQ(PatternGrid(cut, 1, ""),
              "row | ch 0           | ch 1           | ch 2\n"
              "000 | ... ... .. ... | ... ... .. ... | C-5 001 40 A04\n"
              "(the pattern's data ends in row 1 of 3)\n");

    EXPECT_EQ(NoteName(NoteByte(0)), "C-0");
    EXPECT_EQ(NoteName(NoteByte(61)), "C#5");
    EXPECT_EQ(NoteName(NoteByte(119)), "B-9");
    EXPECT_EQ(NoteName(121), "?79");
    EXPECT_EQ(NoteName(200), "?C8");
}

// --- The program ------------------------------------------------------------------------------

std::vector<json> Documents(const std::string& out) {
    std::vector<json> documents;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) documents.push_back(json::parse(line));
    return documents;
}

struct SampleSpec {
    const char* name;
    std::uint32_t frames;
    std::uint8_t flags;
    std::uint32_t loopStart, loopEnd, c5Rate;
    std::uint8_t volume, pan;
};

// An INST chunk with its samples' frames.
void PutInstrument(test::ByteWriter& file, int slot, const char* name,
                   const std::vector<SampleSpec>& samples) {
    std::uint32_t data = 0;
    for (const SampleSpec& s : samples) data += s.frames * ((s.flags & sixteenBit) ? 2 : 1);
    file.Text("INST", 4).U32(static_cast<std::uint32_t>(225 + 64 * samples.size() + data));
    file.U8(0)
        .U8(static_cast<unsigned>(slot))
        .Text(name, 28)
        .U8(static_cast<unsigned>(samples.size()));
    file.Fill(120).Fill(74);
    for (const SampleSpec& s : samples) {
        const std::uint32_t bytes = s.frames * ((s.flags & sixteenBit) ? 2 : 1);
        if (s.frames != 0) {
            file.Text("SAMP", 4).U32(56 + bytes);
        } else {
            file.Fill(8);
        }
        file.Text(s.name, 28).U8(s.pan).U8(s.volume).U8(s.flags).U8(0);
        file.U32(s.frames).U32(s.loopStart).U32(s.loopEnd).U32(s.c5Rate).U32(0).U32(0);
        for (std::uint32_t i = 0; i < bytes; ++i) file.U8(i * 7);
    }
}

void PutPattern(test::ByteWriter& file, int number, const Bytes& block) {
    file.Text("PATT", 4).U32(static_cast<std::uint32_t>(block.size() + 5));
    file.U8(static_cast<unsigned>(number))
        .U32(static_cast<std::uint32_t>(block.size() - 1))
        .Raw(block);
}

const Bytes pattern0 = {1, 0xE2, 0x04, 0x0A, 0x01, 0x3D, 0x28, 0, 0x40, 0, 128, 0x21, 64, 0};

// Three channels, two patterns naming instruments 1 and 2; instrument 3 is present but named by
// no pattern, so the converter does not write it.
Bytes AmSong() {
    test::ByteWriter file;
    file.Text("RIFF", 4).U32(0).Text("AMFF", 4);
    file.Text("MAIN", 4).U32(76).Text("Info \"test\"", 32).Fill(32).Raw({0x03, 3, 5, 140});
    file.U16(1814).U16(13696).U8(100).Raw({0, 32, 0xA0});
    file.Text("ORDR", 4).U32(5).U8(3).Raw({0, 1, 254, 0});
    PutPattern(file, 0, pattern0);
    Bytes pattern1(65, 0);
    pattern1[0] = 63;
    pattern1.insert(pattern1.begin() + 11, {0x41, 2, NoteByte(48)});
    PutPattern(file, 1, pattern1);
    PutInstrument(file, 0, "lead", {{"lead wave", 100, loop | usePan, 20, 100, 8363, 64, 10}});
    PutInstrument(file, 1, "pad",
                  {{"pad", 50, sixteenBit | loop | pingPong, 10, 40, 22050, 50, 0},
                   {"", 0, 0, 0, 0, 0, 0, 0}});
    PutInstrument(file, 2, "unused", {{"x", 10, 0, 0, 0, 8363, 30, 0}});
    file.PutU32At(4, static_cast<std::uint32_t>(file.size() - 8));
    return file.bytes();
}

// Checks a module document against the loaded model, as the converter would write it.
void ExpectModel(const json& module) {
    EXPECT_EQ(module["title"], "Info \"test\"");
    EXPECT_EQ(module["pitch"], (song.songFlags & amigaSlides) ? "amiga" : "linear");
    EXPECT_EQ(module["encoding"], "row-packed");
    EXPECT_EQ(module["channels"], song.channelCount);
    EXPECT_EQ(module["pans"], std::vector<int>(song.channelPan.begin(),
                                               song.channelPan.begin() + song.channelCount));
    EXPECT_EQ(module["speed"], song.initialSpeed);
    EXPECT_EQ(module["tempo"], song.initialTempo);
    EXPECT_EQ(module["globalVolume"], song.globalVolume);
    EXPECT_EQ(module["minPeriod"], song.minPeriod);
    EXPECT_EQ(module["maxPeriod"], song.maxPeriod);
    EXPECT_EQ(module["orders"],
              std::vector<int>(orderList.begin(), orderList.begin() + song.lastOrder + 1));

    ASSERT_EQ(module["patterns"].size(), 2u);
    for (const json& pattern : module["patterns"]) {
        const auto block = test::Pattern(pattern["number"].get<std::size_t>());
        EXPECT_EQ(pattern["rows"], block[0] + 1);
        EXPECT_EQ(pattern["bytes"], WalkRowPacked(block).length);
    }
    ASSERT_EQ(module["instruments"].size(), 2u);
    for (const json& instrument : module["instruments"]) {
        const auto slot = instrument["number"].get<std::size_t>() - 1;
        const InstrumentRecord& record = test::Instrument(slot);
        EXPECT_EQ(instrument["name"], std::string(record.name.data()));
        ASSERT_EQ(instrument["samples"].size(), record.sampleCount);
        for (std::size_t k = 0; k < record.sampleCount; ++k) {
            const json& sample = instrument["samples"][k];
            const SampleHeader& header = test::Sample(slot, k);
            EXPECT_EQ(sample["name"], std::string(header.name.data()));
            EXPECT_EQ(sample["frames"], std::uint32_t{header.length});
            EXPECT_EQ(sample["bits"], (header.flags & sixteenBit) ? 16 : 8);
            EXPECT_EQ(sample["loop"], !(header.flags & loop)      ? "none"
                                      : (header.flags & pingPong) ? "ping-pong"
                                                                  : "forward");
            EXPECT_EQ(sample["loopStart"], std::uint32_t{header.loopStart});
            EXPECT_EQ(sample["loopEnd"], std::uint32_t{header.loopEnd});
            EXPECT_EQ(sample["c5Rate"], std::uint32_t{header.c5Rate});
            EXPECT_EQ(sample["volume"], header.volume);
            EXPECT_EQ(sample["pan"], header.pan);
            EXPECT_EQ(sample["usePan"], (header.flags & usePan) != 0);
        }
    }
    EXPECT_EQ(module["totals"]["imageBytes"], test::WriteImage().size());
    EXPECT_EQ(module["totals"]["sampleBytes"],
              100 + 2 * 40);  // the pad's frames end at its loop end
}

class InfoTest : public test::ModelTest {
protected:
    // Runs a program with argument words (already shell-quoted) in the temporary directory.
    test::Outcome Run(const char* program, const std::string& arguments) {
        return temporary.Run(program, arguments);
    }
    test::Outcome Info(const std::string& arguments) { return Run(TUNEPAK_INFO_EXE, arguments); }

    test::TemporaryDirectory temporary;
    const fs::path& dir = temporary.path();
};

TEST_F(InfoTest, JsonMatchesTheModelOfTheConvertedModule) {
    const Bytes source = AmSong();
    WriteFile(dir / "song.am", source);
    ASSERT_EQ(Run(TUNEPAK_EXE, "song.am").exitCode, 0);
    const test::Outcome run = Info("--json --patterns song.am Song.vmz");
    EXPECT_EQ(run.exitCode, 0);
    const std::vector<json> documents = Documents(run.out);
    ASSERT_EQ(documents.size(), 2u);
    const json& fromSource = documents[0];
    const json& fromPacked = documents[1];

    EXPECT_EQ(fromSource["file"], "song.am");
    EXPECT_EQ(fromSource["kind"], "module");
    EXPECT_EQ(fromSource["format"], "AM");
    EXPECT_EQ(fromSource["status"], "ok");
    EXPECT_EQ(fromPacked["kind"], "packed");
    EXPECT_EQ(fromPacked["status"], "ok");
    EXPECT_EQ(fromPacked["problems"], json::array());
    const Bytes packed = ReadFile(dir / "Song.vmz");
    const json& container = fromPacked["container"];
    EXPECT_EQ(container["fileSize"], packed.size());
    const ContainerHeader header = test::HeaderOf(packed);
    EXPECT_EQ(container["totalLength"], std::uint32_t{header.totalLength});
    EXPECT_EQ(container["crc"], std::uint32_t{header.crc});
    EXPECT_EQ(container["compressedLength"], std::uint32_t{header.compressedLength});
    EXPECT_EQ(container["imageLength"], std::uint32_t{header.imageLength});

    ASSERT_EQ(test::LoadFromBytes(source), ResultOk);
    ExpectModel(fromSource["module"]);
    ExpectModel(fromPacked["module"]);
    // The playing time is the player's measure of the song, the same from source and packed file.
    const std::uint64_t playing = SongMilliseconds(playingTimeLimitSeconds);
    EXPECT_GT(playing, 0u);
    EXPECT_EQ(fromSource["module"]["playingMilliseconds"], playing);
    EXPECT_EQ(fromPacked["module"]["playingMilliseconds"], playing);
    EXPECT_EQ(fromSource["module"]["unwrittenInstruments"],
              json::parse(R"([{"number":3,"name":"unused"}])"));
    EXPECT_EQ(fromPacked["module"]["unwrittenInstruments"], json::array());
    EXPECT_EQ(fromPacked["module"]["totals"]["imageBytes"], container["imageLength"]);

    EXPECT_EQ(fromPacked["module"]["patterns"][0]["events"], json::parse(R"([
        {"row":0,"channel":2,"command":10,"parameter":4,"instrument":1,"note":61,"volume":40},
        {"row":1,"channel":0,"instrument":0,"note":128},
        {"row":1,"channel":1,"volume":64}])"));
    EXPECT_EQ(fromPacked["module"]["patterns"][0]["complete"], true);
}

// A file name that is valid UTF-8 comes back as itself; one that is not comes with its exact
// bytes beside it, and its text stays valid JSON.
TEST_F(InfoTest, JsonFileNamesAreUtf8OrComeWithTheirBytes) {
    // "Grüße", a note of three bytes and one of four.
    const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x99\xAA\xF0\x9F\x8E\xB5.am";
    WriteFile(dir / std::u8string(utf8.begin(), utf8.end()), AmSong());
    const test::Outcome named = Info("--json '" + utf8 + "'");
    EXPECT_EQ(named.exitCode, 0);
    const std::vector<json> document = Documents(named.out);
    ASSERT_EQ(document.size(), 1u);
    EXPECT_EQ(document[0]["file"], utf8);
    EXPECT_FALSE(document[0].contains("fileBytes"));
    // Packed, then extracted into a directory of such a name, under the file's own.
    ASSERT_EQ(temporary.Run(TUNEPAK_EXE, "'" + utf8 + "'").exitCode, 0);
    const std::string base = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x99\xAA\xF0\x9F\x8E\xB5";
    const std::string folder = "\xC3\xA9t\xC3\xA9";
    const test::Outcome extract = Info("--extract " + folder + " '" + base + ".vmz'");
    EXPECT_EQ(extract.exitCode, 0) << extract.out;
    const auto path = [&](const std::string& name) {
        return dir / std::u8string(name.begin(), name.end());
    };
    EXPECT_EQ(ReadFile(path(folder + "/" + base + ".am")),
              test::InflatedImage(ReadFile(path(base + ".vmz"))));

    if (platform::nativePathStyle == platform::PathStyle::windows) {
        GTEST_SKIP() << "Windows keeps names in UTF-16: none holds bytes that are not UTF-8";
    }
    // Latin-1, an overlong '/', a surrogate and a cut sequence: one U+FFFD a byte.
    const std::string latin1 = "caf\xE9 \xC0\xAF \xED\xA0\x80 \xE2\x99.am";
    WriteFile(dir / latin1, AmSong());
    const test::Outcome run = Info("--json '" + utf8 + "' '" + latin1 + "'");
    EXPECT_EQ(run.exitCode, 0);
    const std::vector<json> documents = Documents(run.out);
    ASSERT_EQ(documents.size(), 2u);

    const std::string replaced = "\xEF\xBF\xBD";
    EXPECT_EQ(documents[1]["file"], "caf" + replaced + " " + replaced + replaced + " " + replaced +
                                        replaced + replaced + " " + replaced + replaced + ".am");
    std::string bytes;
    for (const json& byte : documents[1]["fileBytes"]) bytes += static_cast<char>(byte.get<int>());
    EXPECT_EQ(bytes, latin1);
    EXPECT_TRUE(fs::exists(dir / bytes));
}

TEST_F(InfoTest, APackedFileAndItsSourceReportTheSameModule) {
    ASSERT_EQ(Run(TUNEPAK_EXE, "'" TUNEPAK_DEMO "'").exitCode, 0);
    const test::Outcome text = Info("Demo.vmz '" TUNEPAK_DEMO "'");
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_EQ(text.out.rfind("Demo.vmz: packed module, ok\n", 0), 0u) << text.out;
    EXPECT_NE(text.out.find("\n\n" TUNEPAK_DEMO ": MOD module, ok\n"), std::string::npos)
        << text.out;
    // Six orders of 64 rows at tempo 125 and speed 5, which the first row sets: 0.1 s a row, as
    // openmpt123 also measures it.
    EXPECT_NE(text.out.find("  playing time 0:38.400\n"), std::string::npos) << text.out;

    // What the converter would write from the source is what the packed file holds.
    const std::vector<json> documents = Documents(Info("--json Demo.vmz '" TUNEPAK_DEMO "'").out);
    ASSERT_EQ(documents.size(), 2u);
    json fromPacked = documents[0]["module"];
    json fromSource = documents[1]["module"];
    EXPECT_EQ(fromPacked["unwrittenInstruments"], json::array());
    fromPacked.erase("unwrittenInstruments");
    fromSource.erase("unwrittenInstruments");
    EXPECT_EQ(fromPacked, fromSource);

    // The extracted image is the inflated payload, and reads as the same module.
    const test::Outcome extract = Info("--extract out Demo.vmz");
    EXPECT_EQ(extract.exitCode, 0);
    const std::string extracted = (fs::path("out") / "Demo.am").string();  // native separator
    EXPECT_NE(extract.out.find("  extracted    " + extracted + "\n"), std::string::npos)
        << extract.out;
    EXPECT_EQ(ReadFile(dir / "out" / "Demo.am"), test::InflatedImage(ReadFile(dir / "Demo.vmz")));
    const std::vector<json> fromExtracted = Documents(Info("--json out/Demo.am").out);
    ASSERT_EQ(fromExtracted.size(), 1u);
    EXPECT_EQ(fromExtracted[0]["module"], documents[0]["module"]);
}

TEST_F(InfoTest, DamagedAndUnloadableFilesExitTwo) {
    WriteFile(dir / "song.am", AmSong());
    ASSERT_EQ(Run(TUNEPAK_EXE, "song.am").exitCode, 0);
    Bytes bad = ReadFile(dir / "Song.vmz");
    bad[12] ^= 0xFF;
    WriteFile(dir / "bad.vmz", bad);
    const test::Outcome damaged = Info("Song.vmz bad.vmz");
    EXPECT_EQ(damaged.exitCode, 2);
    EXPECT_EQ(damaged.out.rfind("Song.vmz: packed module, ok\n", 0), 0u);
    EXPECT_NE(
        damaged.out.find("\nbad.vmz: packed module, damaged: CRC-32 of the compressed bytes is"),
        std::string::npos)
        << damaged.out;
    // The image inflated whole all the same, so it is summarised.
    EXPECT_EQ(Documents(Info("--json bad.vmz").out).at(0)["module"]["title"], "Info \"test\"");

    // Intact containers around images that are not modules, or that do not load.
    auto pack = [&](const char* name, const Bytes& image) {
        PackedModule packed;
        ASSERT_TRUE(PackModule(image, packed));
        WriteFile(dir / name, test::FileOf(packed));
    };
    pack("text.vmz", Bytes(100, 'a'));
    Bytes cut = AmSong();
    cut.resize(200);  // ends inside a chunk
    pack("cut.vmz", cut);
    test::ByteWriter huge;
    huge.Text("RIFF", 4)
        .U32(30)
        .Text("AMFF", 4)
        .Text("PATT", 4)
        .U32(0x7FFFFFF0)
        .U8(0)
        .U32(0x7FFFFFF0)
        .Raw({1, 2, 3});
    pack("huge.vmz", huge.bytes());
    WriteFile(dir / "junk.mod", Bytes(3000, 0x42));
    fs::create_directory(dir / "folder");

    const test::Outcome run = Info("text.vmz cut.vmz huge.vmz junk.mod folder missing.xm");
    EXPECT_EQ(run.exitCode, 2);
    std::vector<std::string> firstLines;
    std::istringstream lines(run.out);
    bool reportStarts = true;  // reports are separated by an empty line
    for (std::string line; std::getline(lines, line); reportStarts = line.empty()) {
        if (reportStarts) firstLines.push_back(line);
    }
    EXPECT_EQ(
        firstLines,
        (std::vector<std::string>{
            "text.vmz: packed module, damaged: image is not an AM module",
            "cut.vmz: packed module, damaged: image does not load: unrecognised or damaged module",
            "huge.vmz: packed module, damaged: image does not load: unrecognised or damaged module",
            "junk.mod: MOD module, failed: unrecognised or damaged module",
            "folder: failed: cannot be opened",
            "missing.xm: failed: cannot be opened",
        }));
}

// A one-pattern STM whose row 5 holds a tremor, which the model lacks, and whose only sample
// claims 100 frames where the file holds 60.
Bytes LossyStm() {
    test::ByteWriter file;
    file.Text("lossy", 20).Text("!Scream!", 8).U8(0x1A).U8(2).U8(2).U8(21).U8(0x60).U8(1);
    file.U8(64).Fill(13);
    const std::size_t dataParagraph = (48 + 31 * 32 + 128 + 1024 + 15) / 16;
    for (int s = 0; s < 31; ++s) {
        file.Text("", 12).U8(0).U8(0).U16(s == 0 ? static_cast<unsigned>(dataParagraph) : 0);
        file.U16(s == 0 ? 100 : 0).U16(0).U16(0xFFFF).U8(64).U8(0).U16(8448).Fill(6);
    }
    file.U8(0).Fill(127, 99);
    for (int cell = 0; cell < 256; ++cell) {
        const bool tremor = cell == 5 * 4;
        file.Raw({0xFF, 0x01, static_cast<std::uint8_t>(tremor ? 0x89 : 0x80),
                  static_cast<std::uint8_t>(tremor ? 0x12 : 0x00)});
    }
    file.PadTo(dataParagraph * 16).Fill(60, 1);
    return file.bytes();
}

TEST_F(InfoTest, ConversionNotesOfASourceModule) {
    const Bytes source = LossyStm();
    WriteFile(dir / "lossy.stm", source);
    WriteFile(dir / "song.am", AmSong());

    const test::Outcome text = Info("lossy.stm song.am");
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_NE(text.out.find("\n  conversion notes:\n"
                            "    effect dropped       STM I (tremor): 1, first in pattern 0 row 5\n"
                            "    sample cut           sample data ending early: 1 sample, 40 "
                            "frames missing\n"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("\n  conversion notes: none, nothing dropped or changed\n"),
              std::string::npos)
        << text.out;

    const std::vector<json> documents = Documents(Info("--json lossy.stm song.am").out);
    ASSERT_EQ(documents.size(), 2u);
    EXPECT_EQ(documents[0]["conversionNotes"], json::parse(R"js([
        {"kind":"droppedEffect","what":"STM I (tremor)","count":1,"pattern":0,"row":5},
        {"kind":"sampleCut","what":"sample data ending early","count":1,"framesMissing":40}
        ])js"));
    EXPECT_EQ(documents[1]["conversionNotes"], json::array());

    // tunepak says nothing of it, and writes the bytes that the library writes with the record
    // read; a packed module has no notes of its own.
    const test::Outcome converted = Run(TUNEPAK_EXE, "lossy.stm");
    EXPECT_EQ(converted.exitCode, 0);
    EXPECT_EQ(converted.out.find("tremor"), std::string::npos) << converted.out;
    const Bytes packed = ReadFile(dir / "Lossy.vmz");
    ASSERT_GT(packed.size(), containerHeaderSize);
    const Bytes image = test::InflatedImage(packed);
    ASSERT_EQ(test::LoadFromBytes(source), ResultOk);
    EXPECT_EQ(ConversionNotes().size(), 2u);
    EXPECT_EQ(test::WriteImage(), image);
    const test::Outcome packedText = Info("Lossy.vmz");
    EXPECT_EQ(packedText.out.find("conversion notes"), std::string::npos) << packedText.out;
    EXPECT_FALSE(Documents(Info("--json Lossy.vmz").out).at(0).contains("conversionNotes"));
}

TEST_F(InfoTest, ALayoutAssumedIsNamed) {
    test::ByteWriter file;
    file.Text("noise", 20).Fill(31 * 30).U8(1).U8(0).Fill(128).Text("N.T.", 4).Fill(1024);
    WriteFile(dir / "variant.mod", file.bytes());
    const test::Outcome text = Info("variant.mod");
    EXPECT_NE(text.out.find("    layout assumed       MOD tag N.T. (NoiseTracker), 4 channels: 1\n"),
              std::string::npos)
        << text.out;
    EXPECT_EQ(Documents(Info("--json variant.mod").out).at(0)["conversionNotes"],
              json::parse(R"js([{"kind":"assumedLayout",
                                 "what":"MOD tag N.T. (NoiseTracker), 4 channels","count":1}])js"));
}

TEST_F(InfoTest, UsageHelpAndVersion) {
    for (const char* arguments : {"", "--json", "--bogus x.vmz", "x.vmz --extract"}) {
        const test::Outcome run = Info(arguments);
        EXPECT_EQ(run.exitCode, 1) << arguments;
        EXPECT_EQ(run.out, "Usage : tunepak-info [--patterns] [--json] [--extract DIR] FILE...\n")
            << arguments;
    }
    test::ExpectHelpAndVersion(temporary, TUNEPAK_INFO_EXE, "tunepak-info",
                               "Usage : tunepak-info");
}

}  // namespace
}  // namespace tunepak
