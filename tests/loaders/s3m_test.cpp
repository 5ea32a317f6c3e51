#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "loaders/loaders.h"
#include "model/player.h"
#include "scream_test_support.h"
#include "adpcm_test_support.h"
#include "conversion_notes.h"
#include "effect_cases.h"
#include "model/conversion_record.h"

namespace tunepak {
namespace {

using test::Bytes;
using namespace test::scream;  // the packed rows and their events

struct S3mSample {
    std::string name = "sample";
    Bytes data;
    std::uint32_t loopStart = 0;
    std::uint32_t loopEnd = 0;
    std::uint8_t flags = 0;  // bit 0 loop, bit 2 16-bit
    bool sampled = true;
    std::uint8_t type = 1;     // 2 and up: AdLib
    std::uint8_t packing = 0;  // 4: ModPlug ADPCM
    std::optional<std::uint32_t> frames;  // from the data's size unless given
};

struct S3mLayout {
    std::uint8_t fileType = 16;
    std::vector<std::uint8_t> orders = {0};
    std::optional<unsigned> orderCount;  // the order list's length unless given
    std::vector<S3mSample> instruments;
    std::vector<Bytes> patterns = {{}};  // packed rows, behind their length word
    std::optional<unsigned> firstPatternLength;
    std::array<std::uint8_t, 32> channels = {0, 8, 1, 9, 0xFF};
    std::uint8_t masterVolume = 0xB0;
    std::optional<std::array<std::uint8_t, 32>> panTable;
    std::uint16_t flags = 0;
    std::uint16_t sampleFormat = 2;
};


Bytes BuildS3m(const S3mLayout& layout) {
    test::ByteWriter w;
    w.Text("An S3M song", 28).U8(0x1A).U8(layout.fileType).U16(0);
    w.U16(layout.orderCount.value_or(static_cast<unsigned>(layout.orders.size())));
    w.U16(static_cast<unsigned>(layout.instruments.size()));
    w.U16(static_cast<unsigned>(layout.patterns.size()));
    w.U16(layout.flags).U16(0x1320).U16(layout.sampleFormat).Text("SCRM", 4);
    w.U8(32).U8(5).U8(150).U8(layout.masterVolume).U8(0).U8(layout.panTable ? 0xFC : 0);
    w.Fill(8).U16(0).Raw(layout.channels);
    w.Raw(layout.orders);
    const std::size_t instrumentPointers = w.size();
    w.Fill(2 * layout.instruments.size());
    const std::size_t patternPointers = w.size();
    w.Fill(2 * layout.patterns.size());
    if (layout.panTable) w.Raw(*layout.panTable);

    std::vector<std::size_t> dataParagraphs;
    for (std::size_t i = 0; i < layout.instruments.size(); ++i) {
        const S3mSample& s = layout.instruments[i];
        w.Align(16);
        w.PutU16At(instrumentPointers + 2 * i, static_cast<unsigned>(w.size() / 16));
        dataParagraphs.push_back(w.size() + 14);
        const auto frames = s.frames.value_or(
            static_cast<std::uint32_t>(s.data.size() / ((s.flags & 4) ? 2 : 1)));
        w.U8(s.type).Text("FILE.SMP", 12).U8(0).U16(0).U32(frames).U32(s.loopStart).U32(s.loopEnd);
        w.U8(50).U8(0).U8(s.packing).U8(s.flags).U32(22050).Fill(12).Text(s.name, 28);
        w.Text(s.sampled ? "SCRS" : "", 4);
    }
    for (std::size_t p = 0; p < layout.patterns.size(); ++p) {
        w.Align(16);
        w.PutU16At(patternPointers + 2 * p, static_cast<unsigned>(w.size() / 16));
        const auto length = static_cast<unsigned>(layout.patterns[p].size());
        w.U16(p == 0 ? layout.firstPatternLength.value_or(length) : length).Raw(layout.patterns[p]);
    }
    for (std::size_t i = 0; i < layout.instruments.size(); ++i) {
        w.Align(16);
        w.PutU16At(dataParagraphs[i], static_cast<unsigned>(w.size() / 16));
        w.Raw(layout.instruments[i].data);
    }
    return w.bytes();
}

class S3mLoaderTest : public test::ModelTest {};

TEST_F(S3mLoaderTest, RefusesWrongTypesAndCountsBeyondTheTables) {
    const auto refused = [](S3mLayout layout) {
        const int result = test::LoadFromBytes(BuildS3m(layout));
        const bool untouched = song.channelCount == 0 && patternTable[0].data == nullptr &&
                               instrumentTable[0].block == nullptr;
        ReleaseModule();
        return result == ResultBadFile && untouched;
    };
    EXPECT_TRUE(refused({.fileType = 17}));
    EXPECT_TRUE(refused({.orderCount = 257}));
    S3mLayout tooManyInstruments{.instruments = std::vector<S3mSample>(129)};
    EXPECT_TRUE(refused(tooManyInstruments));
    S3mLayout tooManyPatterns{.patterns = std::vector<Bytes>(257)};
    EXPECT_TRUE(refused(tooManyPatterns));
}

TEST_F(S3mLoaderTest, SongSettingsAndPeriodLimits) {
    ASSERT_EQ(test::LoadFromBytes(BuildS3m({.flags = 0x10})), ResultOk);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(song.title.data())), "An S3M song");
    EXPECT_EQ(song.globalVolume, 64);
    EXPECT_EQ(song.initialSpeed, 5);
    EXPECT_EQ(song.initialTempo, 150);
    EXPECT_EQ(song.songFlags, amigaSlides | rowPacked);
    EXPECT_EQ(song.minPeriod, 1814);
    EXPECT_EQ(song.maxPeriod, 13696);
    ReleaseModule();
    ASSERT_EQ(test::LoadFromBytes(BuildS3m({})), ResultOk);
    EXPECT_EQ(song.minPeriod, 0xFFFF);
    EXPECT_EQ(song.maxPeriod, 0xFF00);
}

TEST_F(S3mLoaderTest, ConvertsAPackedCellWithEveryPart) {
    S3mLayout layout;
    layout.patterns = {PackedRows({{0xE1, 0x40, 0x02, 0x30, 0x04, 0x0F}})};
    ASSERT_EQ(test::LoadFromBytes(BuildS3m(layout)), ResultOk);
    Bytes expected = {63, 0xE1, 0x0F, 0x0A, 0x02, 0x3D, 0x30};
    expected.resize(expected.size() + 64, 0);
    EXPECT_EQ(test::PatternBytes(0), expected);
    EXPECT_EQ(song.channelCount, 2);
}

TEST_F(S3mLoaderTest, NotesKeyOffsAndRepeatedBytes) {
    S3mLayout layout;
    layout.patterns = {PackedRows({
        {0x20, 0x40, 0x03, 0x21, 0x00, 0x00},  // C-4 with instrument 3; octave 0 without one
        {0x21, 0x7B, 0x00, 0x22, 0x7C, 0x04},  // highest note; beyond it only the instrument
        {0x60, 0xFE, 0x05, 0x28},              // key off: volume 0, instrument 5 forgotten
        {0x20, 0xFE, 0x05},                    // key off without a volume byte
        {0x60, 0x40, 0xFF, 0x50},              // last instrument (3), volume 80 limited
        {0xC0, 0xFF, 0x04, 0x10},              // last volume byte (80); D10
        {0x80, 0xFF, 0x05},                    // command byte 0xFF: D again, with 05
    })};
    ASSERT_EQ(test::LoadFromBytes(BuildS3m(layout)), ResultOk);
    const auto rows = RowEvents(0);
    ASSERT_EQ(rows.size(), 64u);
    EXPECT_EQ(rows[0], (Bytes{0x40, 0x03, 61, 0x41, 0x00, 13}));
    EXPECT_EQ(rows[1], (Bytes{0x41, 0x00, 108, 0x42, 0x04, 0}));
    EXPECT_EQ(rows[2], (Bytes{0x60, 0x00, keyOff, 0}));
    EXPECT_EQ(rows[3], (Bytes{0x60, 0x00, keyOff, 0}));
    EXPECT_EQ(rows[4], (Bytes{0x60, 0x03, 61, 64}));
    EXPECT_EQ(rows[5], (Bytes{0xA0, 0x10, EffectVolSlide, 64}));
    EXPECT_EQ(rows[6], (Bytes{0x80, 0x05, EffectVolSlide}));
}

TEST_F(S3mLoaderTest, TranslatesEffects) {
    const std::vector<test::EffectCase> cases = test::LetterEffectCases();
    Bytes packed;
    for (const auto& c : cases) {
        packed.insert(packed.end(), {0x80, std::uint8_t(c.effect - '@'), c.info, 0});
    }
    S3mLayout layout{.patterns = {packed}};
    ASSERT_LE(cases.size(), 64u);
    layout.patterns[0].resize(packed.size() + 64 - cases.size(), 0);
    ASSERT_EQ(test::LoadFromBytes(BuildS3m(layout)), ResultOk);
    const auto rows = RowEvents(0);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(rows[i], test::ExpectedRow(c)) << c.effect << std::hex << int(c.info);
    }
}

TEST_F(S3mLoaderTest, SlideMemoryIsSharedAcrossLettersAndPatterns) {
    S3mLayout layout{.orders = {0, 1}};
    layout.patterns = {PackedRows({{0x80, 4, 0x05}, {0x81, 12, 0x07}}),  // D05; channel 1: L07
                     PackedRows({{0x80, 5, 0x00, 0x81, 11, 0x00}, {0x80, 6, 0x00}})};  // E00 K00, F00
    ASSERT_EQ(test::LoadFromBytes(BuildS3m(layout)), ResultOk);
    const auto rows = RowEvents(1);
    EXPECT_EQ(rows[0], (Bytes{0x80, 0x05, EffectPortaDown, 0x81, 0x07, EffectVibratoVolSlide}));
    EXPECT_EQ(rows[1], (Bytes{0x80, 0x05, EffectPortaUp}));
}

TEST_F(S3mLoaderTest, EnabledChannelsAndPans) {
    const Bytes everyChannel = {0x20, 0x40, 0x01, 0x21, 0x40, 0x01, 0x22, 0x40, 0x01, 0x23, 0x40, 0x01};
    S3mLayout layout{.patterns = {PackedRows({everyChannel})}};
    layout.channels = {0, 8, 0xFF, 1};
    ASSERT_EQ(test::LoadFromBytes(BuildS3m(layout)), ResultOk);
    EXPECT_EQ(RowEvents(0)[0], (Bytes{0x40, 0x01, 61, 0x41, 0x01, 61}));
    EXPECT_EQ(song.channelCount, 2);
    EXPECT_EQ(song.channelPan[0], 13);
    EXPECT_EQ(song.channelPan[1], 51);
    ReleaseModule();

    layout.channels = {0, 8, 1, 9};
    layout.panTable = std::array<std::uint8_t, 32>{0x2F, 0x20, 0x0F, 0x0F};
    ASSERT_EQ(test::LoadFromBytes(BuildS3m(layout)), ResultOk);
    EXPECT_EQ(song.channelCount, 4);
    EXPECT_EQ((std::array{song.channelPan[0], song.channelPan[1], song.channelPan[2],
                          song.channelPan[3]}),
              (std::array<std::uint8_t, 4>{62, 2, 13, 51}));
    ReleaseModule();

    layout.masterVolume = 0x30;  // mono
    ASSERT_EQ(test::LoadFromBytes(BuildS3m(layout)), ResultOk);
    for (int channel = 0; channel < 4; ++channel) EXPECT_EQ(song.channelPan[channel], 32);
}

TEST_F(S3mLoaderTest, ConvertsEachReachedPatternOnce) {
    S3mLayout layout{.orders = {0, 1, 0xFE, 1, 0xFF, 3}};
    const Bytes cell = {0x20, 0x40, 0x01};
    // Converted twice, pattern 1 would start with D07 from the memory of the first pass.
    layout.patterns = {PackedRows({cell}), PackedRows({{0x80, 4, 0x00}, {0x80, 4, 0x07}}),
                     PackedRows({cell})};
    ASSERT_EQ(test::LoadFromBytes(BuildS3m(layout)), ResultOk);
    EXPECT_EQ(song.lastOrder, 3);
    EXPECT_EQ(orderList[2], 0xFE);
    EXPECT_EQ(RowEvents(1)[0], (Bytes{0x80, 0x00, EffectVolSlide}));
    EXPECT_TRUE(test::Pattern(2).empty());  // listed nowhere before the end
    ReleaseModule();

    layout.orders = {3, 0};  // pattern 3 does not exist
    layout.orderCount.reset();
    ASSERT_EQ(test::LoadFromBytes(BuildS3m(layout)), ResultOk);
    EXPECT_TRUE(test::Pattern(3).empty());
    EXPECT_FALSE(test::Pattern(0).empty());
}

TEST_F(S3mLoaderTest, LargeTablesLoadFromTheirPlace) {
    S3mLayout layout;
    layout.orders.assign(256, 150);  // 256 entries, no end marker
    layout.instruments.resize(101);
    layout.instruments[100].name = "the 101st";
    layout.patterns.assign(151, PackedRows({}));
    layout.patterns[150] = PackedRows({{0x20, 0x40, 101}});
    ASSERT_EQ(test::LoadFromBytes(BuildS3m(layout)), ResultOk);
    EXPECT_EQ(song.lastOrder, 255);
    EXPECT_EQ(std::string(test::Instrument(100).name.data()), "the 101st");
    EXPECT_EQ(RowEvents(150)[0], (Bytes{0x40, 101, 61}));
}

TEST_F(S3mLoaderTest, InstrumentsAndSamples) {
    S3mLayout layout;
    layout.instruments = {{.name = "looped", .data = {0x80, 0x00, 0x81, 0xFF}, .loopStart = 1,
                         .loopEnd = 3, .flags = 0x01},
                        {.name = "words", .data = {0x00, 0x80, 0x00, 0x00}, .flags = 0x04},
                        {.name = "adlib", .sampled = false}};
    ASSERT_EQ(test::LoadFromBytes(BuildS3m(layout)), ResultOk);
    const SampleHeader& looped = test::Sample(0);
    EXPECT_EQ(std::string(looped.name.data()), "looped");
    EXPECT_EQ(looped.flags, 0x80 | loop);  // unsigned data, now converted
    EXPECT_EQ(looped.length, 3u);
    EXPECT_EQ(looped.volume, 50);
    EXPECT_EQ(looped.c5Rate, 22050u);
    const auto frames = test::SampleFrames(0);
    EXPECT_EQ(Bytes(frames.begin(), frames.end()), (Bytes{0x00, 0x80, 0x01}));
    EXPECT_EQ(test::Sample(1).flags, 0x80 | sixteenBit);
    EXPECT_EQ(test::Sample(1).length, 2u);
    const InstrumentRecord& adlib = test::Instrument(2);
    EXPECT_EQ(std::string(adlib.name.data()), "adlib");
    EXPECT_EQ(adlib.sampleCount, 0);
    EXPECT_EQ(adlib.size, 225u);
}

TEST_F(S3mLoaderTest, DecodesOnlyWholeCellsWithinTheBytesRead) {
    S3mLayout layout{.orders = {0, 1}};
    // The data end inside a cell whose volume (48) and letter (E) would reach the memories.
    layout.patterns = {{0x80, 4, 0x03, 0x00, 0x20, 0x40, 0x01, 0xC0, 0x30, 5},
                     PackedRows({{0xC0, 0xFF, 0xFF, 0x02}})};
    ASSERT_EQ(test::LoadFromBytes(BuildS3m(layout)), ResultOk);
    const auto first = RowEvents(0);
    ASSERT_EQ(first.size(), 64u);
    EXPECT_EQ(first[0], (Bytes{0x80, 0x03, EffectVolSlide}));
    EXPECT_EQ(first[1], (Bytes{0x40, 0x01, 61}));
    EXPECT_TRUE(EmptyFrom(first, 2));
    EXPECT_EQ(RowEvents(1)[0], (Bytes{0xA0, 0x02, EffectVolSlide, 0}));
    ReleaseModule();

    // A length beyond the file's end, and one beyond the largest packed pattern.
    for (const unsigned length : {200u, 60000u}) {
        layout.firstPatternLength = length;
        layout.patterns = {{0x20, 0x40, 0x01, 0x00, 0x20}};
        ASSERT_EQ(test::LoadFromBytes(BuildS3m(layout)), ResultOk);
        const auto rows = RowEvents(0);
        EXPECT_EQ(rows[0], (Bytes{0x40, 0x01, 61}));
        EXPECT_TRUE(EmptyFrom(rows, 1));
        ReleaseModule();
    }
}

TEST_F(S3mLoaderTest, APatternAtParagraphZeroIsEmpty) {
    Bytes module = BuildS3m({.patterns = {PackedRows({{0x20, 0x40, 0x01}})}});
    module[96 + 1] = 0;  // the first pattern pointer, behind one order byte
    module[96 + 2] = 0;
    ASSERT_EQ(test::LoadFromBytes(module), ResultOk);
    const auto rows = RowEvents(0);
    EXPECT_EQ(rows.size(), 64u);
    EXPECT_TRUE(EmptyFrom(rows, 0));
}

TEST_F(S3mLoaderTest, ReportsExhaustedMemory) {
    const Bytes module = BuildS3m({.instruments = {{.data = {1, 2, 3}}}});
    const std::vector<int> results = test::AllocationFailureResults(module);
    ASSERT_GE(results.size(), 4u);
    EXPECT_EQ(results[0], ResultNoMemory);         // the packed pattern buffer
    EXPECT_EQ(results[2], ResultNoSampleMemory);   // the sample data
    EXPECT_EQ(results[3], ResultNoPatternMemory);  // the first pattern
}

TEST_F(S3mLoaderTest, EveryPrefixLoadsOrFailsCleanly) {
    const Bytes module = BuildS3m({.instruments = {{.data = {1, 2, 3}}}});
    EXPECT_GT(test::ExpectCleanLoadsOfEveryPrefix(module), 0);
}

TEST_F(S3mLoaderTest, ConversionNotesTellWhatIsLost) {
    S3mLayout layout;
    layout.instruments = {{.data = Bytes(100, 0x80)}};
    layout.patterns = {PackedRows({
        {0x80, 'I' - '@', 0x12},  // tremor
        {0x80, 'A' - '@', 0x40},  // speed 64
        {0x20, 0x7C, 0x01},       // beyond B-7
        {0x44, 0x20},             // channel 4 is not enabled
        {0x40, 0x50},             // volume 80
        {0x80, 'I' - '@', 0x12},  // tremor again
    })};
    // Without the sample's last 40 frames.
    test::ExpectNotes(test::WithoutLastBytes(BuildS3m(layout), 40), {
        {Kind::sampleCut, sampleCutLabel, 1, -1, -1, 40},
        {Kind::droppedEffect, "S3M I (tremor)", 2, 0, 0},
        {Kind::changedParameter, "S3M A (speeds above 32, limited)", 1, 0, 1},
        {Kind::noteOutOfRange, "S3M notes above B-7", 1, 0, 2},
        {Kind::channelBeyondLimit, "S3M events on channels after the enabled ones", 1,
         0, 3},
        {Kind::changedParameter, "S3M volumes above 64, limited", 1, 0, 4},
    });
}

TEST_F(S3mLoaderTest, ConversionNotesTellOfEffectsKeptWithAnotherMeaning) {
    // Each pair: a value that Scream Tracker plays otherwise than the converted command, then
    // one of the same effect that keeps its meaning. Its break rows are decimal, as here.
    S3mLayout layout;
    layout.patterns = {PackedRows({
        {0x80, 'T' - '@', 0x20},  // tempo 32, not speed 32
        {0x80, 'T' - '@', 0x21},
        {0x80, 'S' - '@', 0x47},  // random tremolo waveform, running on
        {0x80, 'S' - '@', 0x31},
        {0x80, 'S' - '@', 0x11},  // glissando on
        {0x80, 'S' - '@', 0x10},
        {0x80, 'C' - '@', 0x32},
    })};
    test::ExpectNotes(BuildS3m(layout), {
        {Kind::changedParameter, "S3M T20 (tempo 32), kept as speed 32", 1, 0, 0},
        {Kind::changedParameter, "S3M S33/S43 (random waveform), kept as sine", 1, 0, 2},
        {Kind::droppedEffect, "S3M S1 (glissando)", 1, 0, 4},
    });
}

TEST_F(S3mLoaderTest, PatternLoopsThatShareScreamTrackersOneLoopAreNoted) {
    constexpr std::uint8_t s = 'S' - '@';
    S3mLayout layout{.orders = {0, 1, 2}};
    layout.patterns = {
        // Loops one after the other, each channel with its own start: played alike.
        PackedRows({{0x80, s, 0xB0}, {}, {}, {0x80, s, 0xB2}, {0x81, s, 0xB0}, {},
                    {0x81, s, 0xB1}}),
        // Channel 1's loop end goes back to the start that channel 0 set.
        PackedRows({{}, {}, {0x80, s, 0xB0}, {}, {}, {0x81, s, 0xB2}}),
        // Two loop ends on one row count down the one counter together.
        PackedRows({{}, {}, {}, {0x80, s, 0xB1, 0x81, s, 0xB1}}),
    };
    test::ExpectNotes(BuildS3m(layout), {
        {ConversionKind::discarded,
         "S3M pattern loops on several channels (one loop), kept per channel", 2, 1, 5},
    });
}

TEST_F(S3mLoaderTest, RowsWhosePatternDelaysScreamTrackerCountsOtherwiseAreNoted) {
    // Scream Tracker takes the first non-zero delay in channel order, the player the row's last.
    constexpr std::uint8_t s = 'S' - '@';
    S3mLayout layout;
    layout.patterns = {PackedRows({
        {0x80, s, 0xE2, 0x81, s, 0xE3},  // 2 and 3: noted
        {0x80, s, 0xE2, 0x81, s, 0xE2},  // the same twice
        {0x80, s, 0xE0, 0x81, s, 0xE2},  // SE0 first: the 2 counts either way
        {0x80, s, 0xE2, 0x81, s, 0xE0},  // SE0 last: noted
        {0x81, s, 0xE3, 0x80, s, 0xE2},  // channel 0's 2, stored last
        {0x81, s, 0xE2, 0x80, s, 0xE0},  // channel 1's 2, channel 0's SE0 stored last: noted
    })};
    test::ExpectNotes(BuildS3m(layout), {
        {ConversionKind::changedParameter,
         "S3M SEx of several values on one row (the first non-zero counts), kept as the last", 3,
         0, 0},
    });
}

TEST_F(S3mLoaderTest, NotesWithoutAnInstrumentThatScreamTrackerStartsAtTheLastOffsetAreNoted) {
    constexpr std::uint8_t o = 'O' - '@';
    constexpr std::uint8_t g = 'G' - '@';
    S3mLayout layout;
    layout.patterns = {PackedRows({
        // channel 0 takes offset 10h with a note; channel 1's O00 recalls what may lie before
        {0xA0, 0x40, 1, o, 0x10, 0xA1, 0x40, 1, o, 0x00},
        {0x20, 0x40, 0, 0x21, 0x40, 0},  // noted on channel 0 only
        {0xA0, 0x40, 0, g, 0x08},        // a tone portamento starts nothing
        {0x20, 0x40, 1},                 // an instrument number starts from the beginning
        {0x20, 0x40, 0},
    })};
    test::ExpectNotes(BuildS3m(layout), {
        {ConversionKind::changedParameter,
         "S3M note without an instrument after an O (Scream Tracker starts it at that offset), "
         "kept starting at the beginning",
         1, 0, 1},
    });
}

TEST_F(S3mLoaderTest, OffsetsBeyondTheLoopOfTheSampleTheCellNamesAreNoted) {
    constexpr std::uint8_t o = 'O' - '@';
    S3mLayout layout;
    layout.instruments = {{.data = Bytes(1024, 1), .loopStart = 256, .loopEnd = 768, .flags = 1},
                          {.data = Bytes(1024, 1)}};
    layout.patterns = {PackedRows({
        {0xA0, 0x40, 1, o, 0x03},  // 768: at the loop end, noted
        {0xA0, 0x40, 1, o, 0x02},  // within the loop
        {0xA0, 0x40, 2, o, 0x08},  // beyond the end of a sample without a loop
        {0xA0, 0x40, 0, o, 0x05},  // no instrument named
        {0xA0, 0xFF, 1, o, 0x04},  // no note
    })};
    test::ExpectNotes(BuildS3m(layout), {
        {ConversionKind::changedParameter,
         "S3M O beyond a looped sample's loop end (Scream Tracker wraps it into the loop), kept "
         "from the last frame",
         1, 0, 0},
    });
}

TEST_F(S3mLoaderTest, AdLibInstrumentsNeverGetASampleWhateverTheirSignature) {
    // Register bytes where a sample keeps its length and paragraph: once read as 8.8 G frames.
    S3mSample adlib{.name = "organ", .data = {1, 2, 3}, .type = 2, .frames = 0x20304050};
    S3mSample emptySlot{.name = "", .type = 0};  // "SCRS" on an empty slot keeps its sample header
    S3mSample sampled{.data = {1, 2, 3}};
    S3mSample unsignedAdlib{.data = {4}, .sampled = false, .type = 7};
    ASSERT_EQ(test::LoadFromBytes(BuildS3m({.instruments = {adlib, emptySlot, sampled,
                                                            unsignedAdlib}})),
              ResultOk);
    for (const std::size_t slot : {0u, 3u}) {
        EXPECT_EQ(test::Instrument(slot).sampleCount, 0) << slot;
        EXPECT_EQ(test::Instrument(slot).size, 225u) << slot;
    }
    EXPECT_EQ(std::string(test::Instrument(0).name.data()), "organ");
    EXPECT_EQ(test::Instrument(1).sampleCount, 1);
    EXPECT_EQ(test::Sample(1).length, 0u);
    EXPECT_EQ(test::Copy(test::SampleFrames(2)), (Bytes{0x81, 0x82, 0x83}));
    const std::vector<test::Noted> notes = test::Notes();
    EXPECT_EQ(std::count(notes.begin(), notes.end(),
                         test::Noted{ConversionKind::discarded, "S3M AdLib instruments", 2}),
              1);
}

TEST_F(S3mLoaderTest, AdpcmSamplesAreDecodedAndNotSignConverted) {
    const Bytes wave = {0, 5, 10, 12, 9, 4, 0xFC};  // signed frames, steps the table holds
    const test::AdpcmEncoding encoding = test::EncodeAdpcm(wave);
    S3mSample packed{.data = encoding.stored, .packing = 4, .frames = 7};
    S3mSample wide{.data = {0x00, 0x80}, .flags = 4, .packing = 4};  // 16-bit: never ADPCM
    ASSERT_EQ(test::LoadFromBytes(BuildS3m({.instruments = {packed, wide}})), ResultOk);
    EXPECT_EQ(test::Copy(test::SampleFrames(0)), encoding.decoded);
    EXPECT_EQ(encoding.decoded, wave);
    EXPECT_EQ(test::Copy(test::SampleFrames(1)), (Bytes{0x00, 0x00}));  // unsigned, converted
    EXPECT_EQ(test::Notes().front(),
              (test::Noted{ConversionKind::compressedSample, adpcmSampleLabel, 1}));
}

}  // namespace
}  // namespace tunepak
