#include <array>
#include <optional>
#include <string>
#include <vector>

#include "conversion_notes.h"
#include "effect_cases.h"
#include "loaders/loaders.h"
#include "model/player.h"
#include "scream_test_support.h"

namespace tunepak {
namespace {

using test::Bytes;
using namespace test::scream;  // the packed rows and their events

struct PtmSample {
    std::uint8_t type = 0x01;  // bit 0 sampled, bit 2 loop, bit 3 ping-pong, bit 4 16-bit
    Bytes data;
    std::uint32_t loopStart = 0;  // bytes
    std::uint32_t loopEnd = 0;
    std::string name = "sample";
};

struct PtmLayout {
    std::uint16_t version = 0x0203;
    std::vector<std::uint8_t> orders = {0};
    unsigned channels = 4;
    std::vector<Bytes> patterns = {Bytes(64, 0)};
    std::vector<PtmSample> samples;
};

constexpr std::size_t headerSize = 608;
constexpr std::size_t patternOffsets = 352;


Bytes BuildPtm(const PtmLayout& layout) {
    test::ByteWriter w;
    w.Text("A PTM song", 28).U8(0x1A).U16(layout.version).U8(0);
    w.U16(static_cast<unsigned>(layout.orders.size())).U16(static_cast<unsigned>(layout.samples.size()));
    w.U16(static_cast<unsigned>(layout.patterns.size())).U16(layout.channels).U16(0).U16(0);
    w.Text("PTMF", 4).Fill(16).Raw({0, 15, 7, 8}).PadTo(96);
    Bytes orders = layout.orders;
    orders.resize(256, 0xFF);
    w.Raw(orders).PadTo(headerSize);
    std::vector<std::size_t> offsetFields;
    for (const PtmSample& s : layout.samples) {
        w.U8(s.type).Text("FILE.SMP", 12).U8(40).U16(16000).U16(0);
        offsetFields.push_back(w.size());
        w.U32(0).U32(static_cast<std::uint32_t>(s.data.size())).U32(s.loopStart).U32(s.loopEnd);
        w.Fill(14).Text(s.name, 28).Text("PTMS", 4);
    }
    for (std::size_t p = 0; p < layout.patterns.size(); ++p) {
        w.Align(16);
        w.PutU16At(patternOffsets + 2 * p, static_cast<unsigned>(w.size() / 16));
        w.Raw(layout.patterns[p]);
    }
    for (std::size_t s = 0; s < layout.samples.size(); ++s) {
        w.Align(16);
        w.PutU32At(offsetFields[s], static_cast<std::uint32_t>(w.size()));
        w.Raw(layout.samples[s].data);
    }
    return w.bytes();
}

// A module whose last pattern is followed by sample data.
PtmLayout WithSample(std::vector<Bytes> patterns) {
    return {.patterns = std::move(patterns), .samples = {{.data = {1, 2, 3, 4}}}};
}

class PtmLoaderTest : public test::ModelTest {};

TEST_F(PtmLoaderTest, RefusesOtherVersions) {
    EXPECT_EQ(test::LoadFromBytes(BuildPtm({.version = 0x0202})), ResultBadFile);
    EXPECT_EQ(song.channelCount, 0);
    EXPECT_EQ(song.title[0], 0);
}

TEST_F(PtmLoaderTest, SongSettings) {
    PtmLayout layout = WithSample({PackedRows({{0x23, 49, 1}})});
    layout.orders = {0, 0, 0};
    layout.channels = 3;
    ASSERT_EQ(test::LoadFromBytes(BuildPtm(layout)), ResultOk);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(song.title.data())), "A PTM song");
    EXPECT_EQ(song.lastOrder, 2);
    EXPECT_EQ(orderList[255], 0xFF);
    EXPECT_EQ((std::array{song.channelPan[0], song.channelPan[1], song.channelPan[2],
                          song.channelPan[3]}),
              (std::array<std::uint8_t, 4>{2, 62, 30, 0}));
    EXPECT_EQ(song.channelCount, 4);  // from the events, not the header
    EXPECT_EQ(song.songFlags, amigaSlides | rowPacked);
    EXPECT_EQ(song.minPeriod, 1814);
    EXPECT_EQ(song.maxPeriod, 13696);
    EXPECT_EQ(song.initialSpeed, 6);
    EXPECT_EQ(song.initialTempo, 125);
    EXPECT_EQ(song.globalVolume, 128);
}

TEST_F(PtmLoaderTest, NotesKeyOffsAndVolumes) {
    const PtmLayout layout = WithSample({PackedRows({
        {0x20, 1, 1, 0x21, 49, 2, 0x22, 96, 0, 0x23, 0, 3},  // notes 1, 49, 96; instrument only
        {0x20, 97, 0, 0xA1, 254, 0, 50, 0x82, 80, 0x23, 254, 4},  // beyond 96; key offs; 80
    })});
    ASSERT_EQ(test::LoadFromBytes(BuildPtm(layout)), ResultOk);
    const auto rows = RowEvents(0);
    EXPECT_EQ(rows[0], (Bytes{0x40, 1, 13, 0x41, 2, 61, 0x42, 0, 108, 0x43, 3, 0}));
    EXPECT_EQ(rows[1], (Bytes{0x61, 0, keyOff, 0, 0x22, 64, 0x63, 4, keyOff, 0}));
}

TEST_F(PtmLoaderTest, EffectsAndTheirSharedMemory) {
    constexpr std::uint8_t none = test::noEffect;
    const std::vector<test::EffectCase> cases = {
        {1, 0x05, 2, 0x05},   {1, 0xF3, 14, 0x23},  {1, 0xE8, 14, 0x22},  {2, 0x05, 1, 0x05},
        {2, 0xF3, 14, 0x13},  {2, 0xE8, 14, 0x12},  {10, 0xFF, 14, 0xAF}, {10, 0xF0, 10, 0xF0},
        {10, 0x0F, 10, 0x0F}, {10, 0xF2, 14, 0xB2}, {10, 0x23, 10, 0x03}, {14, 0x13, 14, 0x23},
        {14, 0x25, 14, 0x15}, {14, 0xC3, 14, 0xC3}, {0, 0x37, 0, 0x37},   {9, 0x10, 9, 0x10},
        {15, 0x06, 15, 0x06}, {16, 0x12, none, 0},  {255, 0x01, none, 0},
    };
    Bytes rowsOfCases;
    for (const auto& c : cases) rowsOfCases.insert(rowsOfCases.end(), {0x40, c.effect, c.info, 0});
    rowsOfCases.resize(rowsOfCases.size() + 64 - cases.size(), 0);
    // Channel 1: the memory of commands 10, 1 and 2, running on into the next pattern.
    PtmLayout layout = WithSample({rowsOfCases, PackedRows({{0x41, 10, 0x05}, {0x41, 1, 0}, {0x41, 2, 0}}),
                               PackedRows({{0x41, 10, 0}})});
    layout.orders = {0, 1, 2};
    ASSERT_EQ(test::LoadFromBytes(BuildPtm(layout)), ResultOk);
    const auto rows = RowEvents(0);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(rows[i], test::ExpectedRow(cases[i])) << "command " << int(cases[i].effect);
    }
    const auto memory = RowEvents(1);
    EXPECT_EQ(memory[1], (Bytes{0x81, 0x05, EffectPortaDown}));
    EXPECT_EQ(memory[2], (Bytes{0x81, 0x05, EffectPortaUp}));
    EXPECT_EQ(RowEvents(2)[0], (Bytes{0x81, 0x05, EffectVolSlide}));
}

TEST_F(PtmLoaderTest, LastPatternEndsWhereTheFirstSampleBegins) {
    // Pattern 1 holds one row; sample data that would read as a cell follow it.
    PtmLayout layout = WithSample({PackedRows({}), {0x20, 0x31, 0x01, 0x00}});
    layout.orders = {0, 1};
    layout.samples = {{.type = 0, .name = "empty"}, {.data = {0x20, 0x31, 0x01, 0x00}}};
    ASSERT_EQ(test::LoadFromBytes(BuildPtm(layout)), ResultOk);
    const auto rows = RowEvents(1);
    ASSERT_EQ(rows.size(), 64u);
    EXPECT_EQ(rows[0], (Bytes{0x40, 0x01, 0x3D}));
    EXPECT_TRUE(EmptyFrom(rows, 1));
    EXPECT_EQ(test::Instrument(0).sampleCount, 0);
    EXPECT_EQ(std::string(test::Instrument(0).name.data()), "empty");
}

TEST_F(PtmLoaderTest, ConvertsEachNamedPatternOnce) {
    // Converted twice, pattern 0 would start with 10/07 from the memory of the first pass.
    PtmLayout layout = WithSample({PackedRows({{0x40, 10, 0x00}, {0x40, 10, 0x07}}), PackedRows({})});
    layout.orders = {0, 0, 200, 5, 1};
    ASSERT_EQ(test::LoadFromBytes(BuildPtm(layout)), ResultOk);
    EXPECT_EQ(RowEvents(0)[0], (Bytes{0x80, 0x00, EffectVolSlide}));
    EXPECT_FALSE(test::Pattern(1).empty());
    EXPECT_TRUE(test::Pattern(200).empty());
    EXPECT_TRUE(test::Pattern(5).empty());
    ReleaseModule();

    // A pattern that starts behind the next one has no data.
    Bytes module = BuildPtm(WithSample({PackedRows({{0x20, 1, 1}}), PackedRows({})}));
    module[patternOffsets] = static_cast<std::uint8_t>(module[patternOffsets + 2] + 1);
    ASSERT_EQ(test::LoadFromBytes(module), ResultOk);
    EXPECT_TRUE(EmptyFrom(RowEvents(0), 0));
}

TEST_F(PtmLoaderTest, DeltaCodedSamples) {
    PtmLayout layout;
    layout.samples = {{.data = {1, 1, 1, 1}},
                    {.type = 0x11, .data = {0x10, 0x01, 0x01, 0x01}},
                    {.type = 0x1D, .data = Bytes(40, 1), .loopStart = 8, .loopEnd = 24}};
    ASSERT_EQ(test::LoadFromBytes(BuildPtm(layout)), ResultOk);
    const auto bytes = test::SampleFrames(0);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(test::Sample(0).flags, 0x80);
    EXPECT_EQ(test::Sample(0).c5Rate, 16000u);
    EXPECT_EQ(test::Sample(0).volume, 40);
    EXPECT_EQ(test::Sample(1).length, 2u);
    const auto words = test::SampleFrames(1);
    EXPECT_EQ(Bytes(words.begin(), words.end()), (Bytes{0x10, 0x11, 0x12, 0x13}));
    const SampleHeader& pingPongLoop = test::Sample(2);
    EXPECT_EQ(pingPongLoop.flags, 0x80 | sixteenBit | loop | pingPong);
    EXPECT_EQ(pingPongLoop.loopStart, 4u);
    EXPECT_EQ(pingPongLoop.loopEnd, 12u);
}

TEST_F(PtmLoaderTest, SamplesBeyondTheInstrumentTableAreNotLoaded) {
    PtmLayout layout;
    layout.samples.resize(130);
    layout.samples[127].name = "the last";
    ASSERT_EQ(test::LoadFromBytes(BuildPtm(layout)), ResultOk);
    EXPECT_EQ(std::string(test::Instrument(127).name.data()), "the last");
}

TEST_F(PtmLoaderTest, ReportsExhaustedMemory) {
    const Bytes module = BuildPtm(WithSample({PackedRows({})}));
    const std::vector<int> results = test::AllocationFailureResults(module);
    ASSERT_GE(results.size(), 4u);
    EXPECT_EQ(results[0], ResultNoMemory);         // the packed pattern buffer
    EXPECT_EQ(results[3], ResultNoPatternMemory);  // the pattern, after the instrument and sample
}

TEST_F(PtmLoaderTest, EveryPrefixLoadsOrFailsCleanly) {
    EXPECT_GT(test::ExpectCleanLoadsOfEveryPrefix(BuildPtm(WithSample({PackedRows({})}))), 0);
}

TEST_F(PtmLoaderTest, ConversionNotesTellWhatIsLost) {
    PtmLayout layout{.patterns = {PackedRows({
                         {0x40, 16, 0x20},  // a command beyond F
                         {0x20, 97, 1},     // a note beyond 96
                         {0x80, 80},        // volume 80
                         {0x40, 1, 0xE5},   // an extra-fine slide by 5/4
                         {0x40, 15, 0x20},  // tempo 32, kept as speed 32
                         {0x40, 15, 0x1F},  // speed 31 as such
                     })},
                     .samples = {{.data = Bytes(100, 1)}}};
    test::ExpectNotes(test::WithoutLastBytes(BuildPtm(layout), 40), {
        {Kind::sampleCut, sampleCutLabel, 1, -1, -1, 40},
        {Kind::droppedEffect, "PTM effects beyond F", 1, 0, 0},
        {Kind::noteOutOfRange, "PTM note values 97 to 253", 1, 0, 1},
        {Kind::changedParameter, "PTM volumes above 64, limited", 1, 0, 2},
        {Kind::changedParameter, "PTM 1/2 extra-fine slides, rounded to fine ones", 1,
         0, 3},
        {Kind::changedParameter, "PTM F20 (tempo 32), kept as speed 32", 1, 0, 4},
    });
}

}  // namespace
}  // namespace tunepak
