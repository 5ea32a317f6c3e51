#include <algorithm>
#include <array>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "conversion_notes.h"
#include "loaders/loaders.h"
#include "model/player.h"
#include "packed_rows.h"
#include "test_support.h"

namespace tunepak {
namespace {

using test::Bytes;
using test::SampleBytes;

// A stored FAR pattern: break row, tempo, then `storedRows` rows of 16 empty cells.
Bytes StoredPattern(unsigned breakRow, unsigned tempo, std::size_t storedRows) {
    Bytes pattern(2 + storedRows * 64);
    pattern[0] = static_cast<std::uint8_t>(breakRow);
    pattern[1] = static_cast<std::uint8_t>(tempo);
    return pattern;
}
void SetCell(Bytes& pattern, int row, int channel, std::array<std::uint8_t, 4> cell) {
    std::copy(cell.begin(), cell.end(), pattern.begin() + 2 + row * 64 + channel * 4);
}

// A FAR file built field by field.
struct FarImage {
    struct SampleSpec {
        std::string name = "sample";
        Bytes data;
        std::uint32_t loopStart = 0, loopEnd = 0;
        unsigned type = 0, loopMode = 0, volume = 0;
    };
    unsigned defaultTempo = 4;
    std::array<std::uint8_t, 16> pans{};
    std::string songText;
    std::size_t gap = 0;  // bytes between the order section and the pattern data
    std::array<std::uint8_t, 256> orders{};
    unsigned songLength = 1;
    std::map<std::size_t, Bytes> patterns;
    std::map<std::size_t, unsigned> lengthOverride;  // a stored length without data
    std::map<std::size_t, SampleSpec> samples;

    Bytes Build() const {
        test::ByteWriter file;
        const std::size_t headerLength = 98 + songText.size() + 771 + gap;
        file.Raw({'F', 'A', 'R', 0xFE})
            .Text("A FAR song name of more than thirty-two bytes", 40)
            .Fill(3);
        file.U16(static_cast<unsigned>(headerLength)).U8(0x10).Fill(16, 1).Fill(9).U8(defaultTempo);
        file.Raw(pans)
            .Fill(4)
            .U16(static_cast<unsigned>(songText.size()))
            .Text(songText, songText.size());
        file.Raw(orders).U8(static_cast<unsigned>(patterns.size())).U8(songLength).U8(0);
        for (std::size_t p = 0; p < 256; ++p) {
            const auto stored = patterns.find(p);
            const auto length = lengthOverride.find(p);
            file.U16(length != lengthOverride.end() ? length->second
                     : stored != patterns.end()     ? static_cast<unsigned>(stored->second.size())
                                                    : 0);
        }
        file.Fill(gap, 0x77);
        for (const auto& [p, bytes] : patterns) file.Raw(bytes);
        std::array<std::uint8_t, 8> bitmap{};
        for (const auto& [s, entry] : samples) {
            bitmap[s / 8] |= static_cast<std::uint8_t>(1 << (s % 8));
        }
        file.Raw(bitmap);
        for (const auto& [s, entry] : samples) {
            file.Text(entry.name, 32)
                .U32(static_cast<std::uint32_t>(entry.data.size()))
                .U8(0)
                .U8(entry.volume);
            file.U32(entry.loopStart)
                .U32(entry.loopEnd)
                .U8(entry.type)
                .U8(entry.loopMode)
                .Raw(entry.data);
        }
        return file.bytes();
    }
};

class FarLoaderTest : public test::ModelTest {};

// The seek slot of a stream that cannot move on from where it stands, though it still goes to
// places counted from its start.
int SeekOnlyFromTheStart(void* stream, std::int32_t offset, int origin) {
    return origin == 1 && offset != 0 ? -1 : FileSeek(stream, offset, origin);
}

TEST_F(FarLoaderTest, AStreamThatCannotPassOverTheSongTextFailsTheLoad) {
    FarImage image;
    image.songText = "a song text that the loader passes over";
    image.patterns[0] = StoredPattern(0, 4, 1);
    const Bytes bytes = image.Build();
    InstallStreams(StreamFile, nullptr);
    test::MemoryFile file(bytes);
    struct SeekSlot {
        SeekSlot() { services.seek = SeekOnlyFromTheStart; }
        ~SeekSlot() { services.seek = FileSeek; }
    } stuck;
    // Not the text read as the order section and the patterns.
    EXPECT_EQ(LoadFar(file.get()), ResultBadFile);
}

TEST_F(FarLoaderTest, NotesVolumesAndTheTempoCommand) {
    FarImage image;
    Bytes pattern = StoredPattern(0, 5, 2);
    SetCell(pattern, 0, 0, {1, 0, 1, 0x13});    // note 1, volume 0; effect replaced by the tempo
    SetCell(pattern, 0, 1, {72, 3, 16, 0xF3});  // highest note, volume 60, tempo 3
    SetCell(pattern, 0, 2, {73, 2, 17, 0x00});  // beyond the highest note: no note, no instrument
    SetCell(pattern, 0, 3, {0, 5, 18, 0xF0});   // instrument without note; volume 18 would be 68
    SetCell(pattern, 1, 4, {0, 5, 0, 0x25});    // nothing survives
    image.patterns[0] = pattern;
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);

    const std::vector<Bytes> rows = test::PatternRows(0);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0],
              (Bytes{0xE0, 5, 15, 1, 49, 0, 0xE1, 3, 15, 4, 120, 60, 0x22, 64, 0x83, 0, 15}));
    EXPECT_EQ(rows[1], Bytes{});
    EXPECT_EQ(song.channelCount, 4);
}

TEST_F(FarLoaderTest, PatternLengthsBreakRowsAndPattern255) {
    FarImage image;
    image.patterns[1] = StoredPattern(62, 1, 64);
    Bytes tooLong = StoredPattern(100, 2, 102);  // more than 64 rows: the rest is skipped
    SetCell(tooLong, 63, 1, {10, 0, 0, 0});
    SetCell(tooLong, 80, 1, {11, 0, 0, 0});
    image.patterns[2] = tooLong;
    Bytes full = StoredPattern(62, 3, 64);
    for (int row = 0; row < 64; ++row) SetCell(full, row, 2, {20, 0, 5, 0});
    image.patterns[3] = full;
    image.patterns[4] = StoredPattern(62, 4, 1);  // stores fewer rows than it plays
    Bytes last = StoredPattern(0, 9, 2);  // stored, never converted, but its bytes are skipped
    SetCell(last, 0, 0, {30, 0, 0, 0});
    image.patterns[255] = last;
    image.samples[0] = {.data = {1, 2, 3}};
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);

    EXPECT_TRUE(test::Pattern(0).empty());
    EXPECT_TRUE(test::Pattern(255).empty());
    EXPECT_EQ(test::Pattern(1)[0], 63);
    const std::vector<Bytes> cut = test::PatternRows(2);
    ASSERT_EQ(cut.size(), 64u);
    EXPECT_EQ(cut[63], (Bytes{0x41, 1, 58}));
    EXPECT_EQ(test::PatternRows(3)[63], (Bytes{0x62, 1, 68, 16}));
    // The rows that pattern 4 does not store are empty, not left over from pattern 3.
    const std::vector<Bytes> shortRows = test::PatternRows(4);
    ASSERT_EQ(shortRows.size(), 64u);
    EXPECT_EQ(shortRows[0], (Bytes{0x80, 4, 15}));
    for (int row = 1; row < 64; ++row) EXPECT_EQ(shortRows[row], Bytes{}) << "row " << row;
    EXPECT_EQ(SampleBytes(0), (Bytes{1, 2, 3}));  // the bitmap came right after pattern 255
    const std::vector<test::Noted> notes = test::Notes();
    EXPECT_NE(std::find(notes.begin(), notes.end(),
                        test::Noted{ConversionKind::discarded, "FAR pattern 255", 1}),
              notes.end());
}

TEST_F(FarLoaderTest, SamplesFromTheBitmap) {
    FarImage image;
    image.samples[0] = {.name = "a name of thirty-two characters!",
                        .data = {1, 2, 3, 4},
                        .loopStart = 1,
                        .loopEnd = 3,
                        .loopMode = 0x08,
                        .volume = 10};
    // 16-bit: byte counts become frames; the odd last byte still belongs to this sample.
    image.samples[2] = {
        .data = {0x10, 0x20, 0x30, 0x40, 0x50}, .loopEnd = 4, .type = 1, .loopMode = 0x08};
    image.samples[3] = {.name = "after", .data = {9, 8}};
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);

    EXPECT_EQ(instrumentTable[1].block, nullptr);
    EXPECT_EQ(std::string(test::Instrument(0).name.data(), 28), "a name of thirty-two charact");
    const SampleHeader& looped = test::Sample(0);
    EXPECT_EQ(looped.flags, 0x88);
    EXPECT_EQ(looped.volume, 64);
    EXPECT_EQ(looped.c5Rate, 8287u);
    EXPECT_EQ(SampleBytes(0), (Bytes{1, 2, 3}));
    const SampleHeader& wide = test::Sample(2);
    EXPECT_EQ(wide.flags, 0x8C);
    EXPECT_EQ(wide.loopEnd, 2u);
    EXPECT_EQ(SampleBytes(2), (Bytes{0x10, 0x20, 0x30, 0x40}));
    EXPECT_EQ(test::Sample(3).flags, 0x80);
    EXPECT_EQ(std::string(test::Instrument(3).name.data()), "after");
    EXPECT_EQ(SampleBytes(3), (Bytes{9, 8}));
}

TEST_F(FarLoaderTest, SongSettings) {
    FarImage image;
    image.songText = "some song text";
    image.gap = 5;
    image.defaultTempo = 6;
    for (std::size_t c = 0; c < 16; ++c) image.pans[c] = static_cast<std::uint8_t>(c);
    image.orders[0] = 7;
    image.songLength = 0;  // 256 orders
    image.patterns[7] = StoredPattern(0, 2, 2);
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);

    EXPECT_EQ(std::string(song.title.begin(), song.title.end()),
              "A FAR song name of more than thi");
    EXPECT_EQ(test::PatternRows(7), (std::vector<Bytes>{{0x80, 2, 15}, {}}));
    EXPECT_EQ(song.lastOrder, 255);
    EXPECT_EQ(orderList[0], 7);
    EXPECT_EQ(song.channelPan[0], 2);
    EXPECT_EQ(song.channelPan[15], 62);
    EXPECT_EQ(song.songFlags, rowPacked);
    EXPECT_EQ(song.initialSpeed, 6);
    EXPECT_EQ(song.initialTempo, 80);
    EXPECT_EQ(song.channelCount, 1);
}

TEST_F(FarLoaderTest, AllocationFailuresEndTheLoad) {
    FarImage image;
    image.patterns[0] = StoredPattern(0, 2, 2);
    image.samples[0] = {.data = {1, 2}};
    // Allocations: work buffer, pattern, its shrink (whose failure keeps the block as it is, and
    // leaves the instrument's to fail), instrument, sample frames.
    test::ExpectEveryAllocationFailureAndPrefixToEndCleanly(
        image.Build(),
        {ResultNoMemory, ResultNoPatternMemory, ResultNoMemory, ResultNoMemory,
         ResultNoSampleMemory});
}

TEST_F(FarLoaderTest, ConversionNotesTellWhatIsLost) {
    FarImage image;
    Bytes pattern = StoredPattern(2, 4, 4);
    SetCell(pattern, 0, 0, {0, 0, 0, 0xF2});   // the pattern's tempo takes this one's place
    SetCell(pattern, 1, 0, {0, 0, 0, 0x37});   // portamento
    SetCell(pattern, 2, 1, {80, 0, 0, 0});     // a note beyond 72
    image.patterns[0] = pattern;
    image.samples[0] = {.data = Bytes(100, 1)};
    test::ExpectNotes(test::WithoutLastBytes(image.Build(), 40), {
        {Kind::droppedEffect, "effects in a pattern's first cell, taken by its speed", 1, 0, 0},
        {Kind::droppedEffect, "FAR 3 (portamento)", 1, 0, 1},
        {Kind::noteOutOfRange, "FAR note values above 72", 1, 0, 2},
        {Kind::sampleCut, sampleCutLabel, 1, -1, -1, 40},
    });
}

}  // namespace
}  // namespace tunepak
