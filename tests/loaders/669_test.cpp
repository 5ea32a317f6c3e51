#include <array>
#include <cstring>
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

constexpr std::size_t patternSize = 64 * 8 * 3;

// A 669 file built field by field; every cell starts empty (0xFF, 0x00, 0xFF).
struct Image669 {
    struct SampleSpec {
        std::uint32_t length = 0, loopStart = 0, loopEnd = 0xFFFFF;
    };
    std::array<std::uint8_t, 128> orders{};
    std::array<std::uint8_t, 128> speeds{};
    std::array<std::uint8_t, 128> breakRows{};
    std::vector<SampleSpec> samples;
    std::vector<Bytes> patterns;
    Bytes sampleData;

    Image669() {
        orders.fill(0xFF);
        speeds.fill(4);
        breakRows.fill(63);
    }
    std::size_t AddPattern() {
        Bytes pattern(patternSize);
        for (std::size_t i = 0; i < patternSize; i += 3) pattern[i] = pattern[i + 2] = 0xFF;
        patterns.push_back(pattern);
        return patterns.size() - 1;
    }
    void Set(std::size_t pattern, int row, int channel, std::array<std::uint8_t, 3> cell) {
        std::memcpy(&patterns.at(pattern)[(static_cast<std::size_t>(row) * 8 + channel) * 3],
                    cell.data(), 3);
    }
    Bytes Build() const {
        test::ByteWriter file;
        file.Text("if", 2).Text("A song message longer than thirty-two bytes", 108);
        file.U8(static_cast<unsigned>(samples.size()))
            .U8(static_cast<unsigned>(patterns.size()))
            .U8(0);
        file.Raw(orders).Raw(speeds).Raw(breakRows);
        for (const SampleSpec& s : samples) {
            file.Text("sample.sam", 13).U32(s.length).U32(s.loopStart).U32(s.loopEnd);
        }
        for (const Bytes& pattern : patterns) file.Raw(pattern);
        return file.Raw(sampleData).bytes();
    }
};

class Loader669Test : public test::ModelTest {};

TEST_F(Loader669Test, ConvertsCellsAndEffects) {
    Image669 image;
    image.AddPattern();
    image.breakRows[0] = 2;
    image.speeds[0] = 4;
    image.Set(0, 0, 0, {0x60, 0x1A, 0x2F});  // the speed replaces this cell's effect
    image.Set(0, 1, 0, {0x60, 0x1A, 0xFF});  // note 61, instrument 2, volume 40
    image.Set(0, 1, 1, {0xFE, 0x05, 0xFF});  // volume 20 only
    image.Set(0, 1, 2, {0xFF, 0x00, 0x34});  // frequency adjust 4
    image.Set(0, 1, 3, {0xFF, 0x00, 0x42});  // vibrato speed 2
    image.Set(0, 1, 4, {0xFF, 0x00, 0x5A});  // speed 10
    image.Set(0, 1, 5, {0xFF, 0x00, 0x6A});  // dropped
    image.Set(0, 1, 6, {0xFF, 0x00, 0x07});  // portamento up
    image.Set(0, 1, 7, {0xFF, 0x00, 0x17});  // portamento down
    image.Set(0, 2, 7,
              {0x03, 0xF0, 0x27});  // instrument 64 (high bits in the first byte), tone portamento
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);

    const std::vector<Bytes> rows = test::PatternRows(0);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (Bytes{0xE0, 4, 15, 2, 61, 40}));
    EXPECT_EQ(rows[1], (Bytes{0x60, 2,    61, 40, 0x21, 20, 0x82, 0x14, 14, 0x83, 0x21,
                              4,    0x84, 10, 15, 0x86, 7,  1,    0x87, 7,  2}));
    EXPECT_EQ(rows[2], (Bytes{0xE7, 7, 3, 64, 37, 0}));
    EXPECT_EQ(song.channelCount, 8);
}

TEST_F(Loader669Test, BreakRowsSetTheRowCountAndLaterRowsAreSkipped) {
    Image669 image;
    for (int k = 0; k < 3; ++k) image.AddPattern();
    image.breakRows[0] = 31;
    image.Set(0, 40, 3, {0x60, 0x1A, 0xFF});  // after the break row
    image.breakRows[1] = 200;                 // taken as 63
    image.breakRows[2] = 0;
    image.speeds[2] = 9;
    image.Set(2, 0, 1, {0xFE, 0x01, 0xFF});
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);

    EXPECT_EQ(test::Pattern(0)[0], 31);
    EXPECT_EQ(test::PatternRows(0).size(), 32u);
    EXPECT_EQ(test::Pattern(1)[0], 63);
    EXPECT_EQ(test::Pattern(2)[0], 0);
    EXPECT_EQ(test::PatternRows(2), (std::vector<Bytes>{{0x80, 9, 15, 0x21, 4}}));
    EXPECT_EQ(song.channelCount, 2);  // nothing of pattern 0's row 40 was converted
}

TEST_F(Loader669Test, LastOrderFromTheEndMarker) {
    struct Case {
        std::vector<std::uint8_t> orders;
        std::uint8_t lastOrder;
    };
    const std::vector<Case> cases = {
        {{0, 1, 2, 0xFF}, 2},
        {std::vector<std::uint8_t>(128, 0), 127},  // no end marker in the list
        {{0xFF, 1}, 255},
    };
    for (const Case& c : cases) {
        Image669 image;
        std::copy(c.orders.begin(), c.orders.end(), image.orders.begin());
        ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
        EXPECT_EQ(song.lastOrder, c.lastOrder);
        EXPECT_EQ(orderList[1], image.orders[1]);
        EXPECT_EQ(song.channelCount, 1);  // at least one channel even without patterns
        ReleaseModule();
    }
}

TEST_F(Loader669Test, SamplesAndSongSettings) {
    Image669 image;
    image.samples = {{.length = 4}, {.length = 8, .loopStart = 2, .loopEnd = 6}};
    image.AddPattern();
    image.Set(0, 0, 5, {0x60, 0x00, 0xFF});
    image.sampleData = {0x80, 0x81, 0x00, 0xFF, 10, 11, 12, 13, 14, 15, 16, 17};
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);

    EXPECT_EQ(std::string(song.title.begin(), song.title.end()),
              "A song message longer than thirt");
    EXPECT_EQ(std::string(test::Instrument(1).name.data()), "sample.sam");
    const SampleHeader& plain = test::Sample(0);
    EXPECT_EQ(plain.flags, 0);  // no loop; converted from unsigned
    EXPECT_EQ(plain.c5Rate, 8448u);
    EXPECT_EQ(plain.volume, 60);
    EXPECT_EQ(SampleBytes(0), (Bytes{0x00, 0x01, 0x80, 0x7F}));
    const SampleHeader& looped = test::Sample(1);
    EXPECT_EQ(looped.flags, 0x88);
    EXPECT_EQ(looped.length, 6u);
    EXPECT_EQ(SampleBytes(1), (Bytes{0x8A, 0x8B, 0x8C, 0x8D, 0x8E, 0x8F}));

    EXPECT_EQ(song.songFlags, rowPacked);
    EXPECT_EQ(song.initialSpeed, 3);
    EXPECT_EQ(song.initialTempo, 80);
    EXPECT_EQ(song.globalVolume, 128);
    EXPECT_EQ(song.channelCount, 6);
    EXPECT_EQ((std::vector<int>(song.channelPan.begin(), song.channelPan.begin() + 9)),
              (std::vector<int>{13, 51, 13, 51, 13, 51, 13, 51, 0}));
}

TEST_F(Loader669Test, SamplesAndPatternsBeyondTheTables) {
    Image669 image;
    image.samples.resize(130);
    image.samples[127].length = 2;
    image.samples[128].length = 2;  // not loaded: the instrument table holds 128
    for (int k = 0; k < 129; ++k) image.AddPattern();
    image.speeds[127] = 7;
    image.breakRows[127] = 0;
    image.sampleData = {0x90, 0x91, 0xA0, 0xA1};
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);

    EXPECT_EQ(test::PatternRows(127), (std::vector<Bytes>{{0x80, 7, 15}}));
    // Pattern 128 has no entry in the header's tables: 64 rows and speed 0.
    const std::vector<Bytes> rows = test::PatternRows(128);
    ASSERT_EQ(rows.size(), 64u);
    EXPECT_EQ(rows[0], (Bytes{0x80, 0, 15}));
    EXPECT_EQ(SampleBytes(127), (Bytes{0x10, 0x11}));
    for (std::size_t slot = 0; slot < 128; ++slot) EXPECT_NE(instrumentTable[slot].block, nullptr);
}

TEST_F(Loader669Test, AllocationFailuresEndTheLoad) {
    Image669 image;
    image.samples = {{.length = 2}};
    image.AddPattern();
    image.sampleData = {1, 2};
    // Allocations: work buffer, instrument, pattern, its shrink (whose failure keeps the block
    // as it is, and leaves the sample's to fail), sample frames.
    test::ExpectEveryAllocationFailureAndPrefixToEndCleanly(
        image.Build(),
        {ResultNoMemory, ResultNoMemory, ResultNoPatternMemory, ResultNoSampleMemory,
         ResultNoSampleMemory});
}

TEST_F(Loader669Test, ConversionNotesTellWhatIsLost) {
    Image669 image;
    image.AddPattern();
    image.Set(0, 0, 0, {0xFF, 0x00, 0x3F});  // the pattern's speed takes this effect's place
    image.Set(0, 1, 5, {0xFF, 0x00, 0x6A});  // effect 6
    image.samples.resize(130);
    image.samples[0].length = 100;
    image.sampleData = Bytes(60, 0x80);
    test::ExpectNotes(image.Build(), {
        {Kind::beyondLimit, "669 samples beyond 128", 2},
        {Kind::droppedEffect, "effects in a pattern's first cell, taken by its speed", 1, 0, 0},
        {Kind::droppedEffect, "669 effect 6", 1, 0, 1},
        {Kind::sampleCut, sampleCutLabel, 1, -1, -1, 40},
        {Kind::changedParameter, "669 tick rate (tempo 78), kept as tempo 80", 1},
    });
}

TEST_F(Loader669Test, ConversionNotesTellOfEffectsRunningOnAndSpeedZero) {
    // Composer 669 repeats a slide or vibrato on the channel's rows without an effect, until a
    // note, an effect of value 0 or the pattern's end; the converted effect acts on its own
    // row only.
    Image669 image;
    image.AddPattern();
    image.AddPattern();
    image.breakRows[0] = 5;
    image.Set(0, 0, 1, {0x60, 0x1A, 0x02});  // portamento up: runs on over rows 1 and 2
    image.Set(0, 2, 1, {0xFE, 0x1A, 0xFF});  // a volume alone does not stop it
    image.Set(0, 3, 1, {0x60, 0x1A, 0xFF});  // a note does
    image.Set(0, 1, 2, {0xFF, 0x00, 0x43});  // vibrato: runs on over row 2
    image.Set(0, 3, 2, {0xFF, 0x00, 0x40});  // stopped by a value of 0
    image.Set(0, 1, 3, {0xFF, 0x00, 0x34});  // a frequency adjust acts once in 669 too
    image.Set(0, 4, 4, {0xFF, 0x00, 0x50});  // speed 0: ignored by Composer 669
    image.Set(0, 5, 5, {0xFF, 0x00, 0x11});  // runs on into no row of this pattern
    image.Set(1, 0, 0, {0xFF, 0x00, 0x50});  // taken by the pattern's speed
    test::ExpectNotes(image.Build(), {
        {Kind::droppedEffect, "669 effects running on over later rows, kept on their own", 3, 0,
         1},
        {Kind::changedParameter, "669 f0 (speed 0, ignored), kept as song end", 1, 0, 4},
        {Kind::droppedEffect, "effects in a pattern's first cell, taken by its speed", 1, 1, 0},
        {Kind::changedParameter, "669 tick rate (tempo 78), kept as tempo 80", 1},
    });
}

}  // namespace
}  // namespace tunepak
