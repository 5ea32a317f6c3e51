#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "conversion_notes.h"
#include "io/endian.h"
#include "it_test_support.h"
#include "effect_cases.h"
#include "packed_rows.h"
#include "loaders/it_compression.h"
#include "loaders/loaders.h"

namespace tunepak {
namespace {

using test::Bytes;
using test::Cell;
using test::ItModule;
using test::ItPatternSpec;
using test::ItSampleSpec;

class ItLoaderTest : public test::ModelTest {};

// Packed rows: each row's entries followed by its closing 0.
Bytes PackedRows(const std::vector<Bytes>& rows) {
    Bytes packed;
    for (const Bytes& row : rows) {
        packed.insert(packed.end(), row.begin(), row.end());
        packed.push_back(0);
    }
    return packed;
}

ItPatternSpec OneRowPattern(const Bytes& entries) { return {.rows = 1, .packed = PackedRows({entries})}; }

std::string NameOf(const std::array<char, 28>& name) { return std::string(name.data(), strnlen(name.data(), 28)); }

TEST_F(ItLoaderTest, HeaderOrderListAndThePatternsItReaches) {
    ItModule m;
    m.orders = {0, 1, 254, 1, 255};
    const ItPatternSpec note = OneRowPattern({0x81, 0x01, 60});
    m.patterns = {note, note, note};
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);

    EXPECT_EQ(std::string(reinterpret_cast<const char*>(song.title.data())), "it song");
    EXPECT_EQ(song.globalVolume, 100);
    EXPECT_EQ(song.initialSpeed, 5);
    EXPECT_EQ(song.initialTempo, 140);
    EXPECT_EQ(song.minPeriod, 453);
    EXPECT_EQ(song.maxPeriod, 0xFF00);
    EXPECT_EQ(song.songFlags, rowPacked);  // linear slides
    EXPECT_EQ(song.lastOrder, 3);
    EXPECT_EQ(orderList[2], 254);
    EXPECT_FALSE(test::Pattern(0).empty());
    EXPECT_FALSE(test::Pattern(1).empty());
    EXPECT_TRUE(test::Pattern(2).empty());  // not in the order list
}

TEST_F(ItLoaderTest, LastOrderAndOrderCounts) {
    struct Case {
        std::vector<std::uint8_t> orders;
        int lastOrder;
    };
    std::vector<std::uint8_t> long_list(300, 254);
    const Case cases[] = {
        {{255, 0}, 255},   // ends at once
        {{}, 255},         // no orders
        {{0, 0, 0}, 2},    // no end marker
        {long_list, 254},  // 255 orders kept, the rest skipped
    };
    for (const Case& c : cases) {
        ItModule m;
        m.flags = 0;  // Amiga slides
        m.orders = c.orders;
        m.samples = {ItSampleSpec{.name = "after the orders", .data = {1, 2, 3}}};
        ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);
        EXPECT_EQ(song.lastOrder, c.lastOrder) << c.orders.size() << " orders";
        EXPECT_EQ(song.songFlags, rowPacked | amigaSlides);
        // The offset tables behind the orders are read from the right place.
        EXPECT_EQ(NameOf(test::Sample(0).name), "after the orders");
        ReleaseModelBuffers();
        song.channelCount = 0;
    }
}

TEST_F(ItLoaderTest, PatternsThatCannotBeStoredStayAbsent) {
    ItModule m;
    m.orders = {0, 1, 2, 3, 255};
    m.patterns = {std::nullopt,  // offset 0: an empty pattern in IT
                  ItPatternSpec{.rows = 0, .packed = {0}},
                  ItPatternSpec{.rows = 257, .packed = {0}},
                  OneRowPattern({})};
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);
    EXPECT_TRUE(test::Pattern(0).empty());
    EXPECT_TRUE(test::Pattern(1).empty());
    EXPECT_TRUE(test::Pattern(2).empty());
    EXPECT_EQ(test::PatternCells(3).size(), 1u);
    EXPECT_EQ(song.channelCount, 1);  // no events at all
}

TEST_F(ItLoaderTest, ChannelPansOutOfRangeBecomeTheAlternativeCentre) {
    ItModule m;
    m.pans[0] = 32;
    m.pans[1] = 100;  // surround
    m.pans[2] = 200;  // disabled channel
    m.pans[31] = 64;
    m.pans[32] = 10;  // beyond the 32 channels kept
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);
    EXPECT_EQ(song.channelPan[0], 32);
    EXPECT_EQ(song.channelPan[1], 160);
    EXPECT_EQ(song.channelPan[2], 160);
    EXPECT_EQ(song.channelPan[31], 64);
    EXPECT_EQ(song.channelPan[32], 0);
}

TEST_F(ItLoaderTest, NotesAndTheVolumeColumn) {
    ItModule m;
    m.patterns = {ItPatternSpec{.rows = 8,
                                .packed = PackedRows({
                                    {0x81, 0x01, 0},         // lowest note
                                    {0x81, 0x01, 59},        //
                                    {0x81, 0x01, 119},       // highest note
                                    {0x81, 0x01, 255},       // note off
                                    {0x81, 0x05, 254, 40},   // note cut: volume 0 whatever the column says
                                    {0x81, 0x01, 130},       // note fade: carried
                                    {0x81, 0x04, 40},        // a plain volume
                                    {0x81, 0x04, 100},       // a pan in the volume column: dropped
                                })}};
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);
    const std::vector<std::vector<Cell>> expected = {
        {{.instrument = 0, .note = 1}},
        {{.instrument = 0, .note = 60}},
        {{.instrument = 0, .note = 120}},
        {{.instrument = 0, .note = keyOff}},
        {{.volume = 0}},
        {{.instrument = 0, .note = 130}},
        {{.volume = 40}},
        {},
    };
    EXPECT_EQ(test::PatternCells(0), expected);
}

TEST_F(ItLoaderTest, ChannelMemoriesCarryAcrossPatterns) {
    ItModule m;
    m.orders = {0, 1, 255};
    m.patterns = {
        ItPatternSpec{.rows = 2,
                      .packed = PackedRows({
                          {0x82, 0x07, 48, 3, 20},  // channel 1: note, instrument, volume
                          {0x83, 0x05, 254, 100},   // channel 2: cut, volume 100 remembered
                      })},
        ItPatternSpec{.rows = 3,
                      .packed = PackedRows({
                          {0x82, 0x70},  // channel 1: all three from memory
                          {0x02},        // the remembered mask again
                          {0x83, 0x50},  // channel 2: the cut from memory stays a cut
                      })},
    };
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);
    const Cell remembered{.channel = 1, .instrument = 3, .note = 49, .volume = 20};
    const std::vector<std::vector<Cell>> expected = {
        {remembered},
        {remembered},
        {{.channel = 2, .volume = 0}},
    };
    EXPECT_EQ(test::PatternCells(1), expected);
}

TEST_F(ItLoaderTest, EffectTranslationsAndTheirMemory) {
    // One effect per row on channel 0; the last parameter is shared by all its commands.
    struct Case {
        std::uint8_t command, parameter;
        int internal, internalParameter;  // -1: no effect part
    };
    const Case cases[] = {
        {4, 0x05, EffectVolSlide, 0x05},       {4, 0x50, EffectVolSlide, 0x50},
        {4, 0x3F, EffectExtended, 0xA3},       {4, 0xF2, EffectExtended, 0xB2},
        {4, 0x04, EffectVolSlide, 0x04},       {4, 0x00, EffectVolSlide, 0x04},
        {5, 0xF3, EffectExtended, 0x23},       {5, 0xE7, EffectExtended, 0x22},
        {5, 0x10, EffectPortaDown, 0x10},      {6, 0x00, EffectPortaUp, 0x10},
        {6, 0xF3, EffectExtended, 0x13},       {1, 0x40, EffectSpeedTempo, 0x20},
        {20, 0x80, EffectSpeedTempo, 0x80},    {20, 0x20, EffectSpeedTempo, 0x20},
        {20, 0x10, -1, 0},                     {24, 0x80, EffectSetPan, 0x40},
        {19, 0x91, EffectSetPan, 0xA4},        {19, 0xB2, EffectExtended, 0x62},
        {19, 0x23, -1, 0},                     {19, 0xC3, EffectExtended, 0xC3},
        {3, 0x10, EffectPatternBreak, 0x10},   {17, 0x35, EffectExtended, 0x95},
        {9, 0x12, -1, 0},                      {11, 0x00, EffectVibratoVolSlide, 0x12},
        {12, 0x00, EffectTonePortaVolSlide, 0x12},
    };
    std::vector<Bytes> rows;
    std::vector<std::vector<Cell>> expected;
    for (const Case& c : cases) {
        rows.push_back({0x81, 0x08, c.command, c.parameter});
        if (c.internal < 0) {
            expected.push_back({});
        } else {
            expected.push_back({{.command = c.internal, .parameter = c.internalParameter}});
        }
    }
    rows.push_back({0x81, 0x80});  // the last command again
    expected.push_back({{.command = EffectTonePortaVolSlide, .parameter = 0x12}});
    rows.push_back({0x82, 0x08, 1, 0x00});  // A00 on a fresh channel: speed 0
    expected.push_back({{.channel = 1, .command = EffectSpeedTempo, .parameter = 0}});
    rows.push_back({0x83, 0x80});  // a channel that never had a command
    expected.push_back({});

    ItModule m;
    m.patterns = {ItPatternSpec{.rows = static_cast<int>(rows.size()), .packed = PackedRows(rows)}};
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);
    EXPECT_EQ(test::PatternCells(0), expected);
}

// IT reads the S3M letters alike, but for its fine vibrato (dropped) and its panning (0..255).
TEST_F(ItLoaderTest, TranslatesLetterEffectsAsS3mDoesExceptUAndX) {
    std::vector<Bytes> rows;
    std::vector<Bytes> expected;
    for (test::EffectCase c : test::LetterEffectCases()) {
        rows.push_back({0x81, 0x08, static_cast<std::uint8_t>(c.effect - '@'), c.info});
        if (c.effect == 'U') c.command = test::noEffect;
        if (c.effect == 'X') c.parameter = static_cast<std::uint8_t>(c.info >> 1);
        expected.push_back(test::ExpectedRow(c));
    }
    ItModule m;
    m.patterns = {ItPatternSpec{.rows = static_cast<int>(rows.size()), .packed = PackedRows(rows)}};
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);
    EXPECT_EQ(test::PatternRows(0), expected);
}

TEST_F(ItLoaderTest, ChannelsFrom32UpAreDropped) {
    ItModule m;
    m.patterns = {OneRowPattern({0x84, 0x04, 10, 0xA9, 0x04, 10})};  // channels 3 and 40
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);
    const std::vector<std::vector<Cell>> expected = {{{.channel = 3, .volume = 10}}};
    EXPECT_EQ(test::PatternCells(0), expected);
    EXPECT_EQ(song.channelCount, 4);
}

TEST_F(ItLoaderTest, AnEntryCutOffByTheDataEndsThePatternAndChangesNoMemory) {
    ItModule m;
    m.orders = {0, 1, 255};
    m.patterns = {
        ItPatternSpec{.rows = 3, .packed = {0x81, 0x04, 30, 0, 0x81, 0x01}},  // the note is missing
        OneRowPattern({0x01, 50}),  // the mask remembered from row 0: a volume
    };
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);
    const std::vector<std::vector<Cell>> first = {{{.volume = 30}}, {}, {}};
    EXPECT_EQ(test::PatternCells(0), first);
    const std::vector<std::vector<Cell>> second = {{{.volume = 50}}};
    EXPECT_EQ(test::PatternCells(1), second);
}

TEST_F(ItLoaderTest, OnlyTheFirst57344PackedBytesAreUsed) {
    Bytes packed = {0x81, 0x00};      // channel 0, empty mask
    packed.resize(57342, 0x01);       // empty entries
    packed.insert(packed.end(), {0x81, 0x01, 60, 0});  // the note lies past the limit
    ItModule m;
    m.patterns = {ItPatternSpec{.rows = 1, .packed = packed}};
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);
    const std::vector<std::vector<Cell>> expected = {{}};
    EXPECT_EQ(test::PatternCells(0), expected);
}

TEST_F(ItLoaderTest, ADamagedRowKeepsAtMost32Events) {
    Bytes row;
    for (int i = 0; i < 40; ++i) row.insert(row.end(), {0x81, 0x04, static_cast<std::uint8_t>(i)});
    ItModule m;
    m.orders = {0, 1, 255};
    m.patterns = {ItPatternSpec{.rows = 1, .packed = PackedRows({row})}, OneRowPattern({0x81, 0x40})};
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);
    const auto cells = test::PatternCells(0);
    ASSERT_EQ(cells.size(), 1u);
    ASSERT_EQ(cells[0].size(), 32u);
    EXPECT_EQ(cells[0][31].volume, 31);
    // The entries beyond still update the memory.
    const std::vector<std::vector<Cell>> next = {{{.volume = 39}}};
    EXPECT_EQ(test::PatternCells(1), next);
}

// --- Instrument mode ---------------------------------------------------------------------------

ItModule InstrumentModule(const std::vector<std::uint8_t>& keyboard, int samples) {
    ItModule m;
    m.flags = 0x0C;  // instruments, linear slides
    m.instruments = {test::ItInstrument("piano", keyboard)};
    for (int s = 1; s <= samples; ++s) {
        m.samples.push_back({.name = "s" + std::to_string(s), .data = Bytes(static_cast<std::size_t>(s), 0x10)});
    }
    return m;
}

TEST_F(ItLoaderTest, InstrumentsSharingASampleEachGetTheSameCopy) {
    // Found by fuzzing: 128 instruments playing the same compressed samples decoded them anew
    // for each instrument. Each instrument keeps its own copy; the data is decoded once.
    ItModule m = InstrumentModule({1, 2}, 2);
    m.instruments.push_back(test::ItInstrument("second", {2, 1}));
    m.samples[0].flags = 0x59;  // compressed, looped ping-pong
    m.samples[0].length = 6;
    m.samples[0].loopBegin = 1;
    m.samples[0].loopEnd = 5;
    m.samples[0].data = test::CompressedBlock(test::BitWriter().Put(5, 9).Put(3, 9).Put(1, 9).bytes());
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);

    const SampleHeader& first = test::Sample(0, 0);
    const SampleHeader& copy = test::Sample(1, 1);
    EXPECT_EQ(std::memcmp(&first, &copy, sizeof first), 0);
    EXPECT_NE(instrumentTable[0].sampleData[0], instrumentTable[1].sampleData[1]);
    // The frames and the whole ping-pong tail are alike.
    ASSERT_EQ(first.flags & (loop | pingPong), loop | pingPong);
    const std::size_t bytes = first.length + 31 + (first.loopEnd - first.loopStart);
    EXPECT_EQ(test::Copy({instrumentTable[0].sampleData[0], bytes}),
              test::Copy({instrumentTable[1].sampleData[1], bytes}));
    EXPECT_EQ(test::Copy(test::SampleFrames(0, 1)), test::Copy(test::SampleFrames(1, 0)));
}

// Found by fuzzing (out of memory): every instrument holds its own copy of the samples it plays,
// and compressed silence decodes to eight frames a byte, so 128 instruments sharing one sample
// turned 38 KB into 600 MB. Sample data is bounded by the source: 64 MB and 32 bytes a byte.
TEST_F(ItLoaderTest, SharedSampleCopiesAreBoundedByTheSource) {
    // A 16-bit sample of 32 blocks, each 16,384 frames of silence in 2,053 bytes: 1 MB of frames.
    constexpr std::size_t blocks = 32;
    constexpr std::uint32_t framesPerBlock = 0x4000;
    Bytes data;
    for (std::size_t b = 0; b < blocks; ++b) {
        Bytes bits = test::BitWriter().Put(0, 17).Put(0x10000, 17).bytes();  // then width 1
        bits.resize((2 * 17 + framesPerBlock - 1 + 7) / 8, 0);
        const Bytes block = test::CompressedBlock(bits);
        data.insert(data.end(), block.begin(), block.end());
    }
    const auto sharing = [&](std::size_t instruments) {
        ItModule m = InstrumentModule({1}, 1);
        m.samples[0].flags = 0x0B;  // compressed, 16-bit
        m.samples[0].length = blocks * framesPerBlock;
        m.samples[0].data = data;
        m.instruments.assign(instruments, test::ItInstrument("shared", {1}));
        return m.Build();
    };
    // Eight copies are well within the bound; 128 (128 MB from 66 KB) are not.
    ASSERT_EQ(test::LoadFromBytes(sharing(8)), ResultOk);
    EXPECT_EQ(test::Sample(7, 0).length, blocks * framesPerBlock);
    ReleaseModule();
    EXPECT_EQ(test::LoadFromBytes(sharing(128)), ResultNoSampleMemory);
}

TEST_F(ItLoaderTest, InstrumentSamplesAreNumberedByFirstUse) {
    ItModule m = InstrumentModule({5, 5, 2, 0, 7, 9}, 7);  // sample 9 does not exist
    m.samples[4].name = "a name of twenty-six bytes";
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);

    const InstrumentRecord& record = test::Instrument(0);
    EXPECT_EQ(NameOf(record.name), "piano");
    ASSERT_EQ(record.sampleCount, 3);
    EXPECT_EQ(record.size, 225u + 3 * 64);
    const std::array<std::uint8_t, 6> map = {0, 0, 1, 0, 2, 0};
    EXPECT_TRUE(std::equal(map.begin(), map.end(), record.sampleMap.begin()));
    EXPECT_EQ(NameOf(test::Sample(0, 0).name), "a name of twenty-six b");  // 22 bytes
    EXPECT_EQ(NameOf(test::Sample(0, 1).name), "s2");
    EXPECT_EQ(NameOf(test::Sample(0, 2).name), "s7");
    EXPECT_EQ(test::SampleFrames(0, 0).size(), 5u);
    EXPECT_EQ(test::SampleFrames(0, 2).size(), 7u);
}

TEST_F(ItLoaderTest, EmptyAndUntaggedInstruments) {
    ItModule m = InstrumentModule({1}, 1);
    m.samples[0].data.clear();  // length 0: a header with only its name
    Bytes untagged = test::ItInstrument("no tag", {1});
    std::memcpy(untagged.data(), "XXXX", 4);
    m.instruments.push_back(untagged);
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);

    ASSERT_EQ(test::Instrument(0).sampleCount, 1);
    const SampleHeader& empty = test::Sample(0, 0);
    EXPECT_EQ(NameOf(empty.name), "s1");
    EXPECT_EQ(empty.size, 0u);
    EXPECT_EQ(empty.length, 0u);
    EXPECT_EQ(instrumentTable[0].sampleData[0], nullptr);

    EXPECT_EQ(NameOf(test::Instrument(1).name), "no tag");
    EXPECT_EQ(test::Instrument(1).sampleCount, 0);
    EXPECT_EQ(test::Instrument(1).size, 225u);
}

TEST_F(ItLoaderTest, EnvelopesAndFadeOut) {
    ItModule m = InstrumentModule({1}, 1);
    test::ByteWriter w;
    w.Raw(m.instruments[0]);
    w.PutU16At(test::itFadeOut, 1024);
    const std::size_t volume = test::itVolumeEnvelope;
    const std::size_t panning = test::itPanningEnvelope;
    w.bytes()[volume] = 0x07;      // on, loop, sustain loop
    w.bytes()[volume + 1] = 4;     // nodes
    w.bytes()[volume + 2] = 1;     // loop begin
    w.bytes()[volume + 3] = 3;     // loop end
    w.bytes()[volume + 4] = 2;     // sustain begin
    w.bytes()[volume + 6] = 64;    // node 0: value 64 at tick 0x1234
    w.PutU16At(volume + 7, 0x1234);
    w.bytes()[panning] = 0x03;     // on, loop
    w.bytes()[panning + 1] = 3;
    w.bytes()[panning + 2] = 2;
    w.bytes()[panning + 3] = 1;
    w.bytes()[panning + 4] = 1;
    const std::uint8_t pans[] = {0xE0, 0x00, 0x20};  // -32, 0, 32
    for (int k = 0; k < 3; ++k) {
        w.bytes()[panning + 6 + 3 * k] = pans[k];
        w.PutU16At(panning + 7 + 3 * k, static_cast<unsigned>(10 * k));
    }
    m.instruments[0] = w.bytes();
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);

    const InstrumentRecord& record = test::Instrument(0);
    EXPECT_EQ(record.fadeOut, 1024);
    EXPECT_EQ(record.envelopeFlags, 0x57);  // volume 0x07; panning 0x03 moves to 0x05
    EXPECT_EQ(record.envelopeLastPoint, 0x23);
    EXPECT_EQ(record.envelopeLoopStart, 0x21);
    EXPECT_EQ(record.envelopeLoopEnd, 0x13);
    EXPECT_EQ(record.envelopeSustain, 0x12);
    EXPECT_EQ(record.volumeEnvelope[0].position, 0x2340);  // tick x 16 on 16 bits
    EXPECT_EQ(record.volumeEnvelope[0].value, 64);
    EXPECT_EQ(record.panningEnvelope[0].value, 0);
    EXPECT_EQ(record.panningEnvelope[1].value, 32);
    EXPECT_EQ(record.panningEnvelope[2].value, 64);
    EXPECT_EQ(record.panningEnvelope[2].position, 320);
}

TEST_F(ItLoaderTest, EnvelopeNodeCountsAreClampedToTheTenPointsKept) {
    ItModule m = InstrumentModule({1}, 1);
    m.instruments[0][test::itVolumeEnvelope + 1] = 25;
    m.instruments[0][test::itPanningEnvelope + 1] = 12;
    Bytes noNodes = m.instruments[0];
    noNodes[test::itVolumeEnvelope + 1] = 0;
    noNodes[test::itPanningEnvelope + 1] = 2;
    m.instruments.push_back(noNodes);
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);
    EXPECT_EQ(test::Instrument(0).envelopeLastPoint, 0x99);
    EXPECT_EQ(test::Instrument(1).envelopeLastPoint, 0xFF);  // no volume node: the whole byte
}

TEST_F(ItLoaderTest, InstrumentsBeyondThe128thAreNotLoaded) {
    ItModule m = InstrumentModule({1}, 1);
    m.instruments.resize(130, m.instruments[0]);
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);
    EXPECT_EQ(test::Instrument(127).index, 127);
    EXPECT_EQ(test::SampleFrames(127).size(), 1u);
}

// --- Sample mode ---------------------------------------------------------------------------------

TEST_F(ItLoaderTest, SampleModeMakesOneInstrumentPerSample) {
    ItModule m;
    m.samples = {{.name = "first", .data = {1}}, {.name = "second", .data = {2, 2}, .tagged = false},
                 {.name = "third", .data = {}}};
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);
    for (std::size_t s = 0; s < 3; ++s) {
        const InstrumentRecord& record = test::Instrument(s);
        EXPECT_EQ(NameOf(record.name), m.samples[s].name);
        EXPECT_TRUE(std::all_of(record.sampleMap.begin(), record.sampleMap.end(), [](auto v) { return v == 0; }));
    }
    EXPECT_EQ(test::Instrument(0).sampleCount, 1);
    EXPECT_EQ(test::Instrument(0).size, 289u);
    EXPECT_EQ(NameOf(test::Sample(0).name), "first");
    EXPECT_EQ(test::Instrument(1).sampleCount, 0);  // not "IMPS"
    EXPECT_EQ(test::Instrument(2).sampleCount, 1);
    EXPECT_EQ(test::Sample(2).length, 0u);
}

TEST_F(ItLoaderTest, SampleFlagsPanAndRate) {
    ItModule m;
    m.samples = {{.flags = 0x53,  // data, 16-bit, loop, ping-pong
                  .volume = 50,
                  .convert = 0x01,
                  .pan = 0xA0,
                  .loopBegin = 1,
                  .loopEnd = 3,
                  .c5Speed = 22050,
                  .data = {0, 1, 0, 2, 0, 3, 0, 4}},
                 {.convert = 0x00, .pan = 0x30, .data = {0x80, 0x00, 0xFF}}};  // unsigned, pan off
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);
    const SampleHeader& looped = test::Sample(0);
    EXPECT_EQ(looped.flags, 0xBC);
    EXPECT_EQ(looped.pan, 32);
    EXPECT_EQ(looped.volume, 50);
    EXPECT_EQ(looped.c5Rate, 22050u);
    EXPECT_EQ(looped.length, 3u);  // ends at its loop end
    const SampleHeader& plain = test::Sample(1);
    EXPECT_EQ(plain.flags, 0x80);  // unsigned data converted
    EXPECT_EQ(plain.pan, 0x30);
    const auto frames = test::SampleFrames(1);
    EXPECT_EQ(Bytes(frames.begin(), frames.end()), (Bytes{0x00, 0x80, 0x7F}));
}

TEST_F(ItLoaderTest, LongOffsetTablesAreSkippedPastTheir256thEntry) {
    ItModule m;
    m.instruments.resize(300);  // all offsets 0; sample mode does not read them
    m.samples = {{.name = "found", .data = {9}}};
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);
    EXPECT_EQ(NameOf(test::Sample(0).name), "found");
    EXPECT_EQ(test::SampleFrames(0).size(), 1u);
}

TEST_F(ItLoaderTest, SampleDataOutOfTheStreamsReachKeepsNoFramesAndIsNotedAsCut) {
    ItModule m;
    m.samples = {{.name = "plain", .data = {1, 2, 3}},
                 {.name = "packed", .flags = 0x09, .length = 4,
                  .data = test::CompressedBlock(test::BitWriter().Put(1, 9).bytes())}};
    Bytes file = m.Build();
    // Both data offsets lie 4 GB on, where no seek reaches.
    const std::size_t sampleTable = 0xC0 + m.orders.size();
    for (std::size_t s = 0; s < 2; ++s) {
        const std::uint32_t header = ReadLe32(file.data() + sampleTable + 4 * s);
        const std::uint32_t offset = ReadLe32(file.data() + header + 72);
        WriteLe32(file.data() + header + 72, offset + 0xF0000000u);
    }
    ASSERT_EQ(test::LoadFromBytes(file), ResultOk);
    EXPECT_EQ(NameOf(test::Sample(1).name), "packed");
    EXPECT_EQ(test::Sample(0).length, 0u);
    EXPECT_EQ(test::Sample(1).length, 0u);
    EXPECT_TRUE(test::SampleFrames(1).empty());
    EXPECT_EQ(test::Notes(), (std::vector<test::Noted>{
                                 {Kind::sampleCut, sampleCutLabel, 2, -1, -1, 7},
                             }));
}

TEST_F(ItLoaderTest, EveryAllocationFailureAndEveryPrefixEndCleanly) {
    ItModule m = InstrumentModule({1, 2}, 2);
    m.samples[1].flags = 0x09;  // compressed
    m.samples[1].length = 4;
    m.samples[1].data = test::CompressedBlock(test::BitWriter().Put(1, 9).bytes());
    m.patterns = {OneRowPattern({0x81, 0x03, 60, 1})};
    const Bytes file = m.Build();
    test::ExpectEveryAllocationFailureAndPrefixToEndCleanly(file);
}

TEST_F(ItLoaderTest, ConversionNotesTellOfEffectsKeptWithAnotherMeaning) {
    // Each pair: a value that Impulse Tracker plays otherwise than the converted command, then
    // one of the same effect that keeps its meaning.
    ItModule m;
    m.patterns = {ItPatternSpec{.rows = 8,
                                .packed = PackedRows({
                                    {0x81, 0x08, 20, 0x20},  // T20: tempo 32, not speed 32
                                    {0x81, 0x08, 20, 0x21},
                                    {0x81, 0x08, 3, 0x10},   // C10: row 16, not row 10
                                    {0x81, 0x08, 3, 0x0F},   // row 15 either way
                                    {0x81, 0x08, 19, 0x33},  // S33: random, not sine
                                    {0x81, 0x08, 19, 0x32},
                                    {0x81, 0x08, 19, 0x11},  // S11: glissando on
                                    {0x81, 0x08, 19, 0x10},
                                })}};
    test::ExpectNotes(m.Build(), {
        {Kind::changedParameter, "IT T20 (tempo 32), kept as speed 32", 1, 0, 0},
        {Kind::changedParameter, "IT C10 and above (hex row), kept as decimal", 1, 0, 2},
        {Kind::changedParameter, "IT S33/S43 (random waveform), kept as sine", 1, 0, 4},
        {Kind::droppedEffect, "IT S1 (glissando)", 1, 0, 6},
    });
}

TEST_F(ItLoaderTest, RowsWhosePatternDelaysImpulseTrackerCountsOtherwiseAreNoted) {
    // Impulse Tracker takes the first non-zero delay in channel order, the player the row's last.
    ItModule m;
    m.patterns = {ItPatternSpec{.rows = 3,
                                .packed = PackedRows({
                                    {0x81, 0x08, 19, 0xE2, 0x82, 0x08, 19, 0xE3},  // noted
                                    {0x82, 0x08, 19, 0xE3, 0x81, 0x08, 19, 0xE2},  // 2 last
                                    {0x81, 0x08, 19, 0xE0, 0x82, 0x08, 19, 0xE4},
                                })}};
    test::ExpectNotes(m.Build(), {
        {ConversionKind::changedParameter,
         "IT SEx of several values on one row (the first non-zero counts), kept as the last", 1,
         0, 0},
    });
}

TEST_F(ItLoaderTest, ZeroValuesThatImpulseTrackerTakesFromMemoryAreNoted) {
    // J, Q and S remember their own last value, per channel; D's memory is resolved as converted.
    ItModule m;
    m.patterns = {ItPatternSpec{.rows = 7,
                                .packed = PackedRows({
                                    {0x81, 0x08, 17, 0x00},  // Q00, nothing remembered
                                    {0x81, 0x08, 10, 0x37},  // J37
                                    {0x82, 0x08, 10, 0x00},  // channel 1: its own memory
                                    {0x81, 0x08, 10, 0x00},  // J00: J37 once more
                                    {0x81, 0x80},            // J00 again, from the mask
                                    {0x81, 0x08, 19, 0x00},  // S00 after J37: S's memory
                                    {0x81, 0x08, 4, 0x00},   // D00: resolved here
                                })}};
    test::ExpectNotes(m.Build(), {
        {ConversionKind::changedParameter, "IT J00 (arpeggio from memory), kept as none", 2, 0,
         3},
    });
}

TEST_F(ItLoaderTest, ConversionNotesTellWhatInstrumentsSamplesAndChannelsLose) {
    ItModule m = InstrumentModule({1, 2}, 2);
    // Each instrument setting that the model has no place for, with its note, in the record's
    // order.
    const std::vector<std::tuple<std::size_t, std::uint8_t, std::string>> instrumentSettings = {
        {test::itNewNoteAction, 3, "IT new note actions other than cut"},  // fade
        {test::itGlobalVolume, 100, "IT instrument global volumes below 128"},
        {test::itDefaultPan, 20, "IT instrument default pans"},  // bit 7 clear: used
        {test::itPitchPanSeparation, 8, "IT instrument pitch-pan separation"},
        {test::itRandomVolume, 25, "IT instrument random volume variation"},
        {test::itRandomPan, 10, "IT instrument random pan variation"},
        {test::itFilterCutoff, 0x80 | 90, "IT instrument filter cutoff"},
    };
    std::vector<test::Noted> expected;
    for (const auto& [offset, value, label] : instrumentSettings) {
        m.instruments[0][offset] = value;
        expected.push_back({Kind::discarded, label, 1});
    }
    m.instruments.push_back(test::ItInstrument("plain", {2}));  // loses nothing
    m.samples[0].globalVolume = 32;
    m.samples[0].vibratoDepth = 4;
    m.samples[1].flags = 0x05;  // stereo
    // Channels 0 and 2 carry events; channel 1 (quiet, disabled) and channel 5 (quiet) none.
    m.volumes[0] = 48;
    m.volumes[1] = 0;
    m.volumes[2] = 30;
    m.volumes[5] = 10;
    m.pans[1] = 0x80 | 32;
    m.pans[2] = 0x80 | 16;
    m.patterns = {OneRowPattern({0x81, 0x01, 60, 0x83, 0x01, 60})};
    expected.insert(expected.end(), {
        {Kind::discarded, "IT sample global volumes below 64", 1},
        {Kind::discarded, "IT sample vibrato", 1},
        {Kind::discarded, "IT stereo samples, kept as their left channel", 1},
        {Kind::discarded, "IT initial channel volumes other than 64", 2},
        {Kind::discarded, "IT disabled channels, kept playing", 1},
    });
    test::ExpectNotes(m.Build(), expected);
}

TEST_F(ItLoaderTest, ConversionNotesTellWhatIsLost) {
    ItModule m;
    m.patterns = {ItPatternSpec{.rows = 4,
                                .packed = PackedRows({
                                    {0x81, 0x0C, 207, 9, 0x12},  // vibrato depth 4; tremor
                                    {0x81, 0x09, 130, 1, 0x40},  // a note fade; speed 64
                                    {0x81, 0x08, 19, 0x21},      // S2: finetune
                                    {0x81, 0x08, 5, 0xE5},       // extra-fine slide by 5/4
                                })}};
    const Bytes bytes = m.Build();
    test::ExpectNotes(bytes, {
        {Kind::lostVolumeEffect, "IT volume column H (vibrato depth)", 1, 0, 0},
        {Kind::droppedEffect, "IT I (tremor)", 1, 0, 0},
        {Kind::noteOutOfRange, "IT note fades (note values 120 to 253)", 1, 0, 1},
        {Kind::changedParameter, "IT A (speeds above 32, limited)", 1, 0, 1},
        {Kind::droppedEffect, "IT S2 (finetune)", 1, 0, 2},
        {Kind::changedParameter, "IT E/F extra-fine slides, rounded to fine ones", 1, 0,
         3},
    });

    // A compressed sample claiming ten frames more than its one whole block holds (a block
    // of 4,096 bytes carries 32,768 frames at most).
    const std::uint32_t block = CompressedBlockFrames(1);
    ItModule compressed;
    compressed.samples = {{.flags = 0x09,
                           .length = block + 10,
                           .data = test::CompressedBlock(Bytes(std::size_t{block / 8}, 0))}};
    ASSERT_EQ(test::LoadFromBytes(compressed.Build()), ResultOk);
    EXPECT_EQ(test::Notes(), (std::vector<test::Noted>{
                                 {Kind::compressedSample, compressedSampleLabel, 1},
                                 {Kind::sampleCut, sampleCutLabel, 1, -1, -1, 10},
                             }));
}

}  // namespace
}  // namespace tunepak
