#include <array>
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
using test::scream::RowEvents;

struct StmSample {
    std::string fileName;
    Bytes data;
    std::uint16_t loopStart = 0;
    std::uint16_t loopEnd = 0xFFFF;
};

struct StmLayout {
    std::uint8_t versionMajor = 2;
    std::uint8_t versionMinor = 21;
    std::uint8_t tempo = 0x60;  // speed 6 in the high nibble
    std::vector<std::uint8_t> orders = {0, 99};
    std::uint8_t orderFill = 99;
    std::vector<Bytes> patterns = {EmptyPattern()};
    std::vector<StmSample> samples;  // the first ones of the 31
    std::vector<std::size_t> dataOrder;  // the order in which the samples' data are stored

    static Bytes EmptyPattern() {
        Bytes pattern;
        for (int cell = 0; cell < 256; ++cell) pattern.insert(pattern.end(), {0xFF, 0x01, 0x80, 0x00});
        return pattern;
    }
};

void SetCell(Bytes& pattern, int row, int channel, std::array<std::uint8_t, 4> cell) {
    std::copy(cell.begin(), cell.end(), pattern.begin() + (row * 4 + channel) * 4);
}

Bytes BuildStm(const StmLayout& layout) {
    test::ByteWriter w;
    w.Text("An STM song with a long name", 20).Text("!Scream!", 8).U8(0x1A).U8(2);
    w.U8(layout.versionMajor).U8(layout.versionMinor).U8(layout.tempo);
    w.U8(static_cast<unsigned>(layout.patterns.size())).U8(58).Fill(13);
    std::vector<std::size_t> paragraphFields;
    for (std::size_t s = 0; s < 31; ++s) {
        const StmSample sample = s < layout.samples.size() ? layout.samples[s] : StmSample{};
        w.Text(sample.fileName, 12).U8(0).U8(0);
        paragraphFields.push_back(w.size());
        w.U16(0).U16(static_cast<unsigned>(sample.data.size())).U16(sample.loopStart);
        w.U16(sample.loopEnd).U8(70).U8(0).U16(8448).Fill(6);
    }
    const std::size_t entries = layout.versionMajor == 2 && layout.versionMinor == 0 ? 64 : 128;
    Bytes orders = layout.orders;
    orders.resize(entries, layout.orderFill);
    w.Raw(orders);
    for (const Bytes& pattern : layout.patterns) w.Raw(pattern);
    std::vector<std::size_t> order = layout.dataOrder;
    for (std::size_t s = order.size(); s < layout.samples.size(); ++s) order.push_back(s);
    for (const std::size_t s : order) {
        w.PadTo((w.size() + 15) / 16 * 16);
        w.PutU16At(paragraphFields[s], static_cast<unsigned>(w.size() / 16));
        w.Raw(layout.samples[s].data);
    }
    return w.bytes();
}

class StmLoaderTest : public test::ModelTest {};

TEST_F(StmLoaderTest, SongSettingsInstrumentsAndSampleData) {
    StmLayout layout;
    layout.samples = {{.fileName = "LOOPED.SMP", .data = {1, 2, 3, 0xFF}, .loopStart = 1, .loopEnd = 4},
                    {.fileName = "PLAIN.SMP", .data = {0x80, 0x7F}}};
    layout.dataOrder = {1, 0};
    ASSERT_EQ(test::LoadFromBytes(BuildStm(layout)), ResultOk);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(song.title.data())), "An STM song with a l");
    EXPECT_EQ(song.globalVolume, 116);
    EXPECT_EQ(song.initialSpeed, 6);  // the header's tempo byte is not used
    EXPECT_EQ(song.initialTempo, 125);
    EXPECT_EQ(song.songFlags, amigaSlides | rowPacked);
    EXPECT_EQ(song.minPeriod, 1814);
    EXPECT_EQ(song.maxPeriod, 13696);
    for (int channel = 0; channel < 4; ++channel) EXPECT_EQ(song.channelPan[channel], 32);

    EXPECT_EQ(std::string(test::Instrument(0).name.data()), "LOOPED.SMP");
    EXPECT_EQ(test::Sample(0).name[0], 0);
    EXPECT_EQ(test::Sample(0).flags, 0x88);
    EXPECT_EQ(test::Sample(0).c5Rate, 8448u);
    EXPECT_EQ(test::Sample(0).volume, 64);
    EXPECT_EQ(test::Sample(1).flags, 0);
    const auto looped = test::SampleFrames(0);
    const auto plain = test::SampleFrames(1);
    EXPECT_EQ(Bytes(looped.begin(), looped.end()), (Bytes{1, 2, 3, 0xFF}));
    EXPECT_EQ(Bytes(plain.begin(), plain.end()), (Bytes{0x80, 0x7F}));
    EXPECT_EQ(test::Instrument(30).sampleCount, 1);
}

TEST_F(StmLoaderTest, ConvertsCells) {
    StmLayout layout;
    Bytes& pattern = layout.patterns[0];
    SetCell(pattern, 0, 0, {0x20, 0x0A, 0x45, 0x03});  // C-2, instrument 1, volume 34, E03
    SetCell(pattern, 1, 0, {0x4B, 0x01, 0x80, 0x00});  // B-4, volume 65: none
    SetCell(pattern, 1, 1, {0x00, 0x11, 0x80, 0x00});  // no note, instrument 2, volume 65: none
    SetCell(pattern, 1, 2, {0xFF, 0x00, 0x00, 0x00});  // no note, volume 0
    ASSERT_EQ(test::LoadFromBytes(BuildStm(layout)), ResultOk);
    const auto rows = RowEvents(0);
    ASSERT_EQ(rows.size(), 64u);
    EXPECT_EQ(rows[0], (Bytes{0xE0, 0x03, EffectPortaDown, 0x01, 61, 34}));
    EXPECT_EQ(rows[1], (Bytes{0x40, 0x00, 96, 0x41, 0x02, 0x00, 0x22, 0x00}));
    EXPECT_EQ(song.channelCount, 3);
}

TEST_F(StmLoaderTest, TranslatesEffects) {
    constexpr std::uint8_t none = test::noEffect;
    const std::vector<test::EffectCase> cases = {
        {1, 0x60, 15, 0x06}, {2, 0x03, 11, 0x03}, {3, 0x10, 13, 0x10}, {4, 0x0F, 10, 0x0F},
        {5, 0x05, 2, 0x05},  {6, 0x05, 1, 0x05},  {7, 0x20, 3, 0x20},  {8, 0x48, 4, 0x48},
        {9, 0x11, none, 0},  {10, 0x37, 0, 0x37}, {10, 0x00, none, 0}, {11, 0x21, none, 0},
        {12, 0x04, 5, 0x04}, {0, 0x12, none, 0},  {13, 0x12, none, 0}, {15, 0x01, none, 0},
    };
    StmLayout layout;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SetCell(layout.patterns[0], static_cast<int>(i), 0,
                {0xFF, 0x01, static_cast<std::uint8_t>(0x80 | cases[i].effect), cases[i].info});
    }
    ASSERT_EQ(test::LoadFromBytes(BuildStm(layout)), ResultOk);
    const auto rows = RowEvents(0);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(rows[i], test::ExpectedRow(cases[i])) << "effect " << int(cases[i].effect);
    }
}

TEST_F(StmLoaderTest, OrderListsAndTheirEnd) {
    const auto lastOrderOf = [](const StmLayout& layout) {
        EXPECT_EQ(test::LoadFromBytes(BuildStm(layout)), ResultOk);
        const int last = song.lastOrder;
        ReleaseModule();
        return last;
    };
    EXPECT_EQ(lastOrderOf({.orders = {0, 1, 2, 99}}), 2);
    EXPECT_EQ(lastOrderOf({.orders = {0}, .orderFill = 0}), 127);
    EXPECT_EQ(lastOrderOf({.versionMajor = 2, .versionMinor = 0, .orders = {0}, .orderFill = 0}), 63);

    // Version 2.00: 64 order entries, the first pattern right behind them.
    StmLayout layout{.versionMajor = 2, .versionMinor = 0, .orders = {0, 1, 99}};
    layout.patterns.push_back(StmLayout::EmptyPattern());
    SetCell(layout.patterns[1], 0, 3, {0x20, 0x08, 0x40, 0x00});
    ASSERT_EQ(test::LoadFromBytes(BuildStm(layout)), ResultOk);
    EXPECT_EQ(song.lastOrder, 1);
    EXPECT_EQ(orderList[64], 0);
    EXPECT_EQ(RowEvents(1)[0], (Bytes{0x63, 0x01, 61, 32}));
    EXPECT_TRUE(RowEvents(0)[0].empty());
}

TEST_F(StmLoaderTest, ReportsExhaustedMemory) {
    const Bytes module = BuildStm({});
    const std::vector<int> results = test::AllocationFailureResults(module);
    ASSERT_GE(results.size(), 33u);
    EXPECT_EQ(results[0], ResultNoMemory);          // the pattern work buffer
    EXPECT_EQ(results[32], ResultNoPatternMemory);  // the first pattern, after 31 instruments
}

TEST_F(StmLoaderTest, EveryPrefixLoadsOrFailsCleanly) {
    EXPECT_GT(test::ExpectCleanLoadsOfEveryPrefix(BuildStm({})), 0);
}

TEST_F(StmLoaderTest, ConversionNotesTellWhatIsLost) {
    StmLayout layout;
    Bytes& pattern = layout.patterns[0];
    SetCell(pattern, 0, 0, {0xFF, 0x01, 0x89, 0x12});  // I: tremor
    SetCell(pattern, 1, 1, {0x77, 0x01, 0x80, 0x00});  // octave 7: beyond B-9
    SetCell(pattern, 2, 0, {0xFF, 0x01, 0x8B, 0x05});  // K: vibrato and volume slide
    layout.samples = {{.data = Bytes(100, 1)}};
    test::ExpectNotes(test::WithoutLastBytes(BuildStm(layout), 40), {
        {Kind::droppedEffect, "STM I (tremor)", 1, 0, 0},
        {Kind::noteOutOfRange, "STM notes above B-9", 1, 0, 1},
        {Kind::droppedEffect, "STM K (vibrato + vol slide)", 1, 0, 2},
        {Kind::sampleCut, sampleCutLabel, 1, -1, -1, 40},
    });
}

TEST_F(StmLoaderTest, ConversionNotesTellWhatChangesTheSongsTime) {
    // The song starts at speed 6 whatever the header says, an order naming a pattern that the
    // file lacks plays 64 empty rows where Scream Tracker 2 ends the song, and the tempo in the
    // low nibble of A is lost.
    StmLayout layout{.tempo = 0x50, .orders = {0, 1, 0, 2, 99}};
    SetCell(layout.patterns[0], 0, 0, {0xFF, 0x01, 0x81, 0x5A});  // speed 5, tempo nibble A
    SetCell(layout.patterns[0], 1, 0, {0xFF, 0x01, 0x81, 0x40});  // speed 4 alone
    test::ExpectNotes(BuildStm(layout), {
        {Kind::discarded, "STM initial tempo other than 60h, kept as speed 6", 1},
        {Kind::discarded, "STM orders naming no stored pattern (song end), kept as empty", 2},
        {Kind::changedParameter, "STM A (set tempo), low nibble lost", 1, 0, 0},
    });
    // The default tempo and stored patterns only: nothing to tell.
    ASSERT_EQ(test::LoadFromBytes(BuildStm({})), ResultOk);
    EXPECT_TRUE(test::Notes().empty());
}

}  // namespace
}  // namespace tunepak
