#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "loaders/loaders.h"
#include "model/player.h"
#include "test_support.h"
#include "adpcm_test_support.h"
#include "conversion_notes.h"
#include "model/conversion_record.h"

namespace tunepak {
namespace {

using test::Bytes;
using test::PatternBytes;

// A MOD file built field by field; patterns are added as cells are set.
struct ModImage {
    struct SampleSpec {
        std::string name;
        unsigned words = 0, finetune = 0, volume = 0, loopStart = 0, loopLength = 0;
    };
    std::string tag = "M.K.";  // none (and 15 samples): the Soundtracker layout
    int channels = 4;
    unsigned songLength = 1, restart = 127;
    Bytes afterTag;
    std::array<std::uint8_t, 128> orders{};
    std::array<SampleSpec, 31> samples{};
    std::vector<Bytes> patterns;
    Bytes sampleData;

    void Set(std::size_t pattern, int row, int channel, unsigned period, unsigned instrument,
             unsigned effect = 0, unsigned parameter = 0) {
        if (patterns.size() <= pattern) patterns.resize(pattern + 1, Bytes(64 * 4 * channels));
        const auto at = static_cast<std::size_t>(row * channels + channel) * 4;
        std::uint8_t* cell = &patterns[pattern][at];
        cell[0] = static_cast<std::uint8_t>((instrument & 0x10) | (period >> 8));
        cell[1] = static_cast<std::uint8_t>(period);
        cell[2] = static_cast<std::uint8_t>(((instrument & 0x0F) << 4) | effect);
        cell[3] = static_cast<std::uint8_t>(parameter);
    }
    Bytes Build() const {
        test::ByteWriter file;
        file.Text("mod title", 20);
        for (std::size_t i = 0; i < (tag.empty() ? 15 : samples.size()); ++i) {
            const SampleSpec& s = samples[i];
            file.Text(s.name, 22).U16Be(s.words).U8(s.finetune).U8(s.volume);
            file.U16Be(s.loopStart).U16Be(s.loopLength);
        }
        file.U8(songLength).U8(restart).Raw(orders).Text(tag, tag.size()).Raw(afterTag);
        for (const Bytes& pattern : patterns) file.Raw(pattern);
        return file.Raw(sampleData).bytes();
    }
};

// Pattern bytes: the row-count byte 63, the given rows, then empty rows up to 64.
Bytes Rows(std::initializer_list<Bytes> rows) {
    Bytes bytes = {63};
    for (const Bytes& row : rows) bytes.insert(bytes.end(), row.begin(), row.end());
    bytes.resize(bytes.size() + 64 - rows.size(), 0);
    return bytes;
}

class ModLoaderTest : public test::ModelTest {};

TEST_F(ModLoaderTest, ChannelTags) {
    const std::vector<std::pair<std::string, int>> accepted = {
        {"M.K.", 4}, {"M!K!", 4}, {"FLT4", 4}, {"CD81", 8}, {"1CHN", 1}, {"6CHN", 6},
        {"9CHN", 9}, {"08CH", 8}, {"16CH", 16}, {"32CH", 32},
    };
    for (const auto& [tag, channels] : accepted) {
        SCOPED_TRACE(tag);
        ModImage image{.tag = tag, .channels = channels};
        image.Set(0, 63, channels - 1, 428, 1);  // the last cell of the pattern
        ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
        EXPECT_EQ(song.channelCount, channels);
        EXPECT_EQ(PatternBytes(0).size(), 1u + 63 + 4);
        ReleaseModule();
    }
    const std::vector<std::string> refused = {
        "FLT8", "OCTA", std::string(4, '\0'), "0CHN", "xCHN",
        "00CH", "33CH", "99CH", "1xCH", "m.k.", "TDZ0", "TDZ5", "FA05", "FA0A",
    };
    for (const std::string& tag : refused) {
        SCOPED_TRACE(tag);
        ModImage image{.tag = tag};
        image.Set(0, 0, 0, 428, 1);
        EXPECT_EQ(test::LoadFromBytes(image.Build()), ResultBadFile);
        EXPECT_EQ(song.channelCount, 0);
        EXPECT_EQ(instrumentTable[0].block, nullptr);
        EXPECT_EQ(patternTable[0].data, nullptr);
    }
}

TEST_F(ModLoaderTest, RefusesWhatIsNotAModule) {
    Bytes counting(3000);
    for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<std::uint8_t>(i);
    for (const Bytes& junk : {Bytes{}, Bytes(100, 'x'), Bytes(5000, 0xFF), counting}) {
        EXPECT_EQ(test::LoadFromBytes(junk), ResultBadFile);
        EXPECT_EQ(song.channelCount, 0);
        EXPECT_EQ(instrumentTable[0].block, nullptr);
    }
}

TEST_F(ModLoaderTest, NotesFromPeriods) {
    ModImage image;
    const std::array<std::pair<unsigned, std::uint8_t>, 8> cases = {{
        {428, 61}, {856, 49}, {1712, 37}, {2000, 37}, {840, 50}, {50, 97}, {4095, 12}, {0, 0},
    }};
    for (int row = 0; row < 8; ++row) image.Set(0, row, 0, cases[row].first, 0);
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
    Bytes expected = {63};
    for (const auto& [period, note] : cases) {
        if (note != 0) expected.insert(expected.end(), {0x40, 0x00, note});
        expected.push_back(0);
    }
    expected.resize(1 + 7 * 4 + 57, 0);
    EXPECT_EQ(PatternBytes(0), expected);
}

TEST_F(ModLoaderTest, RowsAndSongSettings) {
    ModImage image;
    image.Set(0, 0, 0, 428, 1, 12, 0x40);
    image.Set(0, 0, 2, 0, 0, 15, 6);
    image.Set(0, 1, 1, 0, 31, 0, 0x37);  // instrument bit 4 comes from the period byte
    image.Set(0, 2, 3, 0, 0, 14, 0xC3);  // extended command, sub-command in the high nibble
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
    EXPECT_EQ(PatternBytes(0), Rows({{0xC0, 0x40, 0x0C, 0x01, 0x3D, 0x82, 0x06, 0x0F, 0x00},
                                     {0xC1, 0x37, 0x00, 0x1F, 0x00, 0x00},
                                     {0x83, 0xC3, 0x0E, 0x00}}));
    EXPECT_EQ(song.channelCount, 4);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(song.title.data())), "mod title");
    EXPECT_EQ(song.songFlags, amigaSlides | rowPacked);
}

TEST_F(ModLoaderTest, ChannelCountIsTheHighestChannelWithAnEvent) {
    ModImage image;
    image.Set(0, 5, 1, 0, 0, 10, 0x01);
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
    EXPECT_EQ(song.channelCount, 2);
    const std::array<std::uint8_t, 4> pans = {13, 51, 51, 13};
    EXPECT_TRUE(std::equal(pans.begin(), pans.end(), song.channelPan.begin()));
    ReleaseModule();

    ModImage silent{.tag = "8CHN", .channels = 8};
    silent.Set(0, 0, 0, 0, 0);
    ASSERT_EQ(test::LoadFromBytes(silent.Build()), ResultOk);
    EXPECT_EQ(song.channelCount, 1);
    EXPECT_EQ(song.channelPan[7], 13);
}

TEST_F(ModLoaderTest, OrdersNameThePatternsToRead) {
    ModImage image{.songLength = 3};
    image.orders[1] = 1;
    image.orders[100] = 5;  // beyond the song length, still read
    image.Set(5, 0, 0, 428, 0);
    image.samples[0].words = 2;
    image.sampleData = {1, 2, 3, 4};
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
    EXPECT_EQ(song.lastOrder, 2);
    EXPECT_EQ(orderList[100], 5);
    EXPECT_NE(patternTable[5].data, nullptr);
    EXPECT_EQ(patternTable[6].data, nullptr);
    const auto frames = test::SampleFrames(0);
    EXPECT_EQ(Bytes(frames.begin(), frames.end()), Bytes({1, 2, 3, 4}));

    for (const auto& [length, lastOrder] : {std::pair{0u, 255}, {128u, 127}, {200u, 127}}) {
        ReleaseModule();
        image.songLength = length;
        ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
        EXPECT_EQ(song.lastOrder, lastOrder) << "song length " << length;
    }
}

TEST_F(ModLoaderTest, SampleHeadersAndData) {
    ModImage image;
    image.Set(0, 0, 0, 0, 1);
    image.samples[0] = {.name = "a name of 22 letters!!", .words = 3, .finetune = 0x1F,
                        .volume = 70, .loopStart = 0, .loopLength = 1};  // loop end 2: no loop
    image.samples[1] = {.words = 4, .finetune = 3, .volume = 20, .loopStart = 0, .loopLength = 2};
    image.samples[2] = {.words = 200, .finetune = 8, .loopStart = 100, .loopLength = 1};
    for (int i = 0; i < 6 + 8 + 400; ++i) image.sampleData.push_back(static_cast<std::uint8_t>(i));
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);

    const InstrumentRecord& record = test::Instrument(0);
    EXPECT_EQ(std::string(record.name.data(), 22), "a name of 22 letters!!");
    EXPECT_EQ(record.name[22], '\0');
    EXPECT_EQ(record.sampleCount, 1);

    const SampleHeader& first = test::Sample(0);
    EXPECT_EQ(first.length, 6u);
    EXPECT_EQ(first.loopEnd, 2u);
    EXPECT_EQ(first.flags, 0);
    EXPECT_EQ(first.c5Rate, 8280u);
    EXPECT_EQ(first.volume, 64);
    EXPECT_EQ(first.name[0], '\0');

    const SampleHeader& second = test::Sample(1);
    EXPECT_EQ(second.flags, loop | 0x80);
    EXPECT_EQ(second.loopEnd, 4u);
    EXPECT_EQ(second.c5Rate, 8529u);
    const auto frames = test::SampleFrames(1);
    EXPECT_EQ(Bytes(frames.begin(), frames.end()), Bytes({6, 7, 8, 9}));  // cut at the loop end

    const SampleHeader& third = test::Sample(2);
    EXPECT_EQ(third.flags, loop | 0x80);
    EXPECT_EQ(third.loopStart, 200u);
    EXPECT_EQ(third.loopEnd, 202u);
    EXPECT_EQ(third.c5Rate, 7895u);
    EXPECT_EQ(test::SampleFrames(2)[0], 14);
}

TEST_F(ModLoaderTest, TruncatedFilesLoadWhatTheyHold) {
    ModImage image;
    image.Set(0, 0, 0, 428, 1);
    image.Set(0, 40, 0, 428, 1);  // lies beyond the cut
    image.samples[0].words = 100;
    Bytes bytes = image.Build();
    bytes.resize(1084 + 10 * 16);
    ASSERT_EQ(test::LoadFromBytes(bytes), ResultOk);
    EXPECT_EQ(PatternBytes(0), Rows({{0x40, 0x01, 0x3D, 0x00}}));
    EXPECT_EQ(test::Sample(0).length, 0u);
}

TEST_F(ModLoaderTest, AllocationFailuresAndEveryPrefixEndCleanly) {
    ModImage image;
    image.Set(1, 0, 0, 428, 1);
    image.orders[1] = 1;
    image.samples[0].words = 4;
    image.sampleData = Bytes(8, 1);
    test::ExpectEveryAllocationFailureAndPrefixToEndCleanly(image.Build());
}

// The channel count marks a loaded module: a load that fails after converting its patterns
// leaves it at 0, so the failure is never taken for a loaded module.
TEST_F(ModLoaderTest, ALoadFailingAfterItsPatternsLeavesNoChannelCount) {
    ModImage image;
    image.Set(0, 0, 2, 428, 1);
    image.samples[0].words = 4;
    image.sampleData = Bytes(8, 1);
    const Bytes bytes = image.Build();
    const int allocations = test::ExpectCleanAllocationFailures(bytes);
    {
        test::FailingAllocator failing(allocations);  // the sample's, after the patterns
        EXPECT_EQ(test::LoadFromBytes(bytes), ResultNoSampleMemory);
    }
    EXPECT_FALSE(test::Pattern(0).empty());
    EXPECT_EQ(song.channelCount, 0);
    ReleaseModule();
    EXPECT_EQ(test::LoadFromBytes(bytes), ResultOk);
    EXPECT_EQ(song.channelCount, 3);
}

TEST_F(ModLoaderTest, ConversionNotesTellOfACutSample) {
    // Every MOD effect has an internal equivalent and there is no volume column: only a
    // sample can lose something, frames that the file does not hold.
    ModImage image;
    image.Set(0, 0, 0, 428, 1, 0x0E, 0x93);
    image.samples[0].words = 50;
    image.sampleData = Bytes(70, 1);
    test::ExpectNotes(image.Build(), {{ConversionKind::sampleCut, sampleCutLabel, 1, -1, -1, 30}});
}

TEST_F(ModLoaderTest, ConversionNotesTellOfEffectsKeptWithAnotherMeaning) {
    // Each pair: a value that ProTracker plays otherwise than the converted command, then one of
    // the same effect that keeps its meaning.
    ModImage image;
    const std::vector<std::pair<unsigned, unsigned>> effects = {
        {0xF, 0x20}, {0xF, 0x1F},  // tempo 32, kept as speed 32; speed 31
        {0xE, 0x31}, {0xE, 0x30},  // glissando on; off
        {0xE, 0xF4}, {0xE, 0xF0},  // invert loop; stopped
        {0xE, 0x43}, {0xE, 0x42},  // square vibrato waveform 3; square waveform 2
        {0xE, 0x77}, {0xF, 0x21},  // square tremolo waveform 3, running on; tempo 33
    };
    for (std::size_t row = 0; row < effects.size(); ++row) {
        image.Set(0, static_cast<int>(row), 0, 0, 0, effects[row].first, effects[row].second);
    }
    image.Set(1, 5, 3, 0, 0, 0xF, 0x20);
    image.orders[1] = 1;
    test::ExpectNotes(image.Build(), {
        {Kind::changedParameter, "MOD F20 (tempo 32), kept as speed 32", 2, 0, 0},
        {Kind::droppedEffect, "MOD E3 (glissando control)", 1, 0, 2},
        {Kind::droppedEffect, "MOD EF (invert loop)", 1, 0, 4},
        {Kind::changedParameter, "MOD E43/E73 (square waveform), kept as sine", 2, 0, 6},
    });
}

TEST_F(ModLoaderTest, ABreakOnADelayedRowIsNoted) {
    ModImage image;
    image.Set(0, 1, 0, 0, 0, 0xE, 0xE2);  // a delay, and a break on another channel
    image.Set(0, 1, 3, 0, 0, 0xD, 0x00);
    // a break and, last, the delay EE0, which repeats nothing
    image.Set(0, 2, 1, 0, 0, 0xE, 0xE3);
    image.Set(0, 2, 2, 0, 0, 0xD, 0x05);
    image.Set(0, 2, 3, 0, 0, 0xE, 0xE0);
    image.Set(0, 3, 1, 0, 0, 0xE, 0xE4);  // a delay without a break
    image.Set(0, 4, 1, 0, 0, 0xD, 0x10);  // a break without a delay
    image.Set(0, 5, 1, 0, 0, 0xD, 0x10);  // the break first: noted again
    image.Set(0, 5, 2, 0, 0, 0xE, 0xE1);
    test::ExpectNotes(image.Build(), {
        {ConversionKind::changedParameter,
         "MOD D with EE1-EEF on its row (ProTracker starts a row later), kept starting at D's "
         "row", 2, 0, 1},
    });
}

TEST_F(ModLoaderTest, AFinetuneThatProTrackerKeepsForLaterNotesIsNoted) {
    ModImage image;
    image.samples[0].finetune = 0;
    image.samples[1].finetune = 3;
    constexpr unsigned c3 = 428;
    // Channel 0: E53, then a note without an instrument (noted), then one with it (not).
    image.Set(0, 0, 0, c3, 1);
    image.Set(0, 1, 0, 0, 0, 0xE, 0x53);
    image.Set(0, 2, 0, c3, 0);
    image.Set(0, 3, 0, c3, 1);
    image.Set(0, 4, 0, c3, 0);
    // Channel 1: the E5x equals the sample's own finetune.
    image.Set(0, 0, 1, c3, 2);
    image.Set(0, 1, 1, 0, 0, 0xE, 0x53);
    image.Set(0, 2, 1, c3, 0);
    // Channel 2: the sample is not known within the pattern.
    image.Set(0, 1, 2, 0, 0, 0xE, 0x55);
    image.Set(0, 2, 2, c3, 0);
    // Channel 3: a note with its own E5x, then a tone portamento's target (noted).
    image.Set(0, 0, 3, c3, 1, 0xE, 0x52);
    image.Set(0, 1, 3, c3, 0, 0xE, 0x54);
    image.Set(0, 3, 3, c3, 0, 0x3, 0x08);
    test::ExpectNotes(image.Build(), {
        {ConversionKind::changedParameter,
         "MOD E5x kept by a later note without an instrument (ProTracker), kept for its own row",
         2, 0, 2},
    });
}

TEST_F(ModLoaderTest, AnInstrumentNumberAloneThatProTrackerSwapsInIsNoted) {
    ModImage image;
    image.samples[0].loopLength = 8;  // samples 1 and 3 loop, 2 and 4 do not
    image.samples[2].loopLength = 8;
    constexpr unsigned c3 = 428;
    image.Set(0, 0, 0, c3, 2);  // channel 0: an unlooped sample, then another alone: the same
    image.Set(0, 1, 0, 0, 4);   // in both
    image.Set(0, 2, 0, 0, 1);   // a looped one alone: noted
    image.Set(0, 3, 0, 0, 1);   // the same one again
    image.Set(0, 1, 1, 0, 3);   // channel 1: no sample named before
    image.Set(0, 0, 2, c3, 3);  // channel 2: another sample with a note
    image.Set(0, 1, 2, c3, 1);
    image.Set(0, 2, 2, 0, 2);   // then one alone, away from a looped sample: noted
    test::ExpectNotes(image.Build(), {
        {ConversionKind::changedParameter,
         "MOD instrument number alone, another sample (ProTracker swaps it at the loop end), "
         "kept as its volume",
         2, 0, 2},
    });
}

bool Noted(ConversionKind kind, std::string_view label) {
    const std::vector<test::Noted> notes = test::Notes();
    return std::any_of(notes.begin(), notes.end(), [&](const test::Noted& note) {
        return note.kind == kind && note.label == label;
    });
}

TEST_F(ModLoaderTest, TagVariantsOfOtherTrackersAreReadAndNoted) {
    struct Variant {
        std::string tag;
        int channels;
        std::string_view label;
    };
    std::vector<Variant> variants = {
        {"M&K!", 4, "MOD tag M&K! (NoiseTracker), 4 channels"},
        {"N.T.", 4, "MOD tag N.T. (NoiseTracker), 4 channels"},
        {"FEST", 4, "MOD tag FEST (NoiseTracker variant), 4 channels"},
        {"NSMS", 4, "MOD tag NSMS, 4 channels"},
        {"LARD", 4, "MOD tag LARD, 4 channels"},
        {"CD61", 6, "MOD tag CD61 (Octalyser), 6 channels"},
    };
    for (const int channels : {1, 2, 3, 4}) {
        variants.push_back({"TDZ" + std::to_string(channels), channels,
                            "MOD tag TDZx (TakeTracker), 1 to 4 channels"});
    }
    for (const int channels : {4, 6, 8}) {
        variants.push_back({"FA0" + std::to_string(channels), channels,
                            "MOD tag FA0x (Digital Tracker), 4 to 8 channels"});
    }
    for (const Variant& variant : variants) {
        SCOPED_TRACE(variant.tag);
        ModImage image{.tag = variant.tag, .channels = variant.channels};
        if (variant.tag.starts_with("FA")) image.afterTag = {0xEE, 0xEE, 0xEE, 0xEE};
        image.Set(0, 0, 0, 428, 1);
        image.Set(0, 63, variant.channels - 1, 428, 1);  // the last cell of the pattern
        image.samples[0].words = 1;
        image.sampleData = {5, 6};
        ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
        EXPECT_EQ(song.channelCount, variant.channels);
        EXPECT_EQ(PatternBytes(0).size(), 1u + 4 + 62 + 4);  // two events of three bytes
        EXPECT_EQ(test::Copy(test::SampleFrames(0)), (Bytes{5, 6}));
        EXPECT_TRUE(Noted(ConversionKind::assumedLayout, variant.label));
        ReleaseModule();
    }
    // The classic tags are what the format states: nothing to note.
    ASSERT_EQ(test::LoadFromBytes(ModImage{.tag = "FLT4"}.Build()), ResultOk);
    EXPECT_TRUE(test::Notes().empty());
}

// A module of `channels` channels under the tag "M.K.", as a 669 converter wrote them.
ModImage ConvertedFrom669(int channels) {
    ModImage image{.channels = channels, .restart = 0};
    image.Set(0, 0, channels - 1, 428, 2);
    image.Set(1, 0, 0, 428, 1);
    image.orders[1] = 1;
    image.samples[0] = {.words = 2, .volume = 64};
    image.samples[1] = {.words = 3, .volume = 64};
    image.sampleData = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    return image;
}

TEST_F(ModLoaderTest, AnMkFileOfEightChannelsIsToldByItsExactSize) {
    for (const bool oddByte : {false, true}) {
        ModImage image = ConvertedFrom669(8);
        if (oddByte) image.sampleData.push_back(0);  // rounded down to even
        ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
        EXPECT_EQ(song.channelCount, 8);
        EXPECT_EQ(test::Copy(test::SampleFrames(1)), (Bytes{5, 6, 7, 8, 9, 10}));
        EXPECT_TRUE(Noted(ConversionKind::assumedLayout,
                          "MOD tag M.K. with 8 channels, told by the file's size"));
        ReleaseModule();
    }
}

TEST_F(ModLoaderTest, FourChannelMkFilesKeepFourChannels) {
    const auto channelsOf = [](const Bytes& bytes) {
        EXPECT_EQ(test::LoadFromBytes(bytes), ResultOk);
        const int channels = song.channelCount;
        ReleaseModule();
        return channels;
    };
    EXPECT_EQ(channelsOf(ConvertedFrom669(4).Build()), 4);
    // Two more 4-channel patterns' worth of bytes make the size fit 8 channels, but a sample's
    // volume, finetune or the restart byte shows a file that no 669 converter wrote.
    ModImage fitting = ConvertedFrom669(4);
    fitting.sampleData.resize(fitting.sampleData.size() + 2 * 1024, 0x11);
    fitting.samples[1].words += 1024;
    EXPECT_EQ(channelsOf(fitting.Build()), 4);  // the sample takes the bytes: no fit
    fitting.samples[1].words -= 1024;
    ASSERT_EQ(channelsOf(fitting.Build()), 8);  // the size alone fits
    ModImage quiet = fitting;
    quiet.samples[0].volume = 40;
    EXPECT_EQ(channelsOf(quiet.Build()), 4);
    ModImage tuned = fitting;
    tuned.samples[1].finetune = 1;
    EXPECT_EQ(channelsOf(tuned.Build()), 4);
    ModImage restarting = fitting;
    restarting.restart = 127;
    EXPECT_EQ(channelsOf(restarting.Build()), 4);
    ModImage tagged = fitting;
    tagged.tag = "M!K!";
    EXPECT_EQ(channelsOf(tagged.Build()), 4);
}

TEST_F(ModLoaderTest, AdpcmSampleDataIsDecoded) {
    const Bytes wave = {2, 4, 6, 8, 7, 6, 5, 12};
    const test::AdpcmEncoding encoding = test::EncodeAdpcm(wave);
    ModImage image;
    image.Set(0, 0, 0, 428, 1);
    image.samples[0] = {.words = 4, .loopStart = 1, .loopLength = 2};
    image.samples[1] = {.words = 1};
    image.sampleData = {'A', 'D', 'P', 'C', 'M'};
    image.sampleData.insert(image.sampleData.end(), encoding.stored.begin(), encoding.stored.end());
    image.sampleData.insert(image.sampleData.end(), {'A', 'D'});  // plain: not the whole mark
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
    EXPECT_EQ(encoding.decoded, wave);
    EXPECT_EQ(test::Copy(test::SampleFrames(0)), Bytes(wave.begin(), wave.begin() + 6));
    EXPECT_EQ(test::SampleFrames(0).data()[6], wave[2]);  // the loop's tail
    EXPECT_EQ(test::Copy(test::SampleFrames(1)), (Bytes{'A', 'D'}));
    EXPECT_TRUE(Noted(ConversionKind::compressedSample, adpcmSampleLabel));
}

// A 15-sample Soundtracker module: one pattern with a note and one sample of data.
ModImage Soundtracker() {
    ModImage image{.tag = "", .restart = 120};
    image.Set(0, 0, 3, 428, 15, 0x0C, 0x20);
    image.samples[0] = {.name = "st-01:drum", .words = 2, .volume = 64};
    image.samples[14] = {.name = "bass", .words = 3, .volume = 30, .loopLength = 1};
    image.sampleData = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    return image;
}

TEST_F(ModLoaderTest, FifteenSampleModulesLoadAfterEveryOtherFormat) {
    const Bytes bytes = Soundtracker().Build();
    ASSERT_EQ(bytes.size(), 600u + 1024 + 10);
    ASSERT_EQ(test::LoadFromBytes(bytes), ResultOk);
    EXPECT_EQ(song.channelCount, 4);
    EXPECT_EQ(PatternBytes(0), Rows({{0xC3, 0x20, 0x0C, 15, 61, 0}}));
    EXPECT_EQ(test::Copy(test::SampleFrames(0)), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(test::Copy(test::SampleFrames(14)), (Bytes{5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(instrumentTable[15].block, nullptr);
    EXPECT_TRUE(Noted(ConversionKind::assumedLayout,
                      "MOD without a tag, read as 15-sample Soundtracker module"));
    ReleaseModule();
    // A memory block has no size to check the layout against.
    EXPECT_EQ(LoadModule(const_cast<std::uint8_t*>(bytes.data()), StreamMemory), ResultBadFile);
    InstallStreams(StreamFile, nullptr);
}

// Inputs that a strict 15-sample probe must refuse: near misses of a real module, junk, text,
// and the beginnings of other formats' files.
std::vector<std::pair<std::string, Bytes>> NotSoundtrackerModules() {
    std::vector<std::pair<std::string, Bytes>> inputs;
    const auto nearMiss = [&](const std::string& what, auto change) {
        ModImage image = Soundtracker();
        change(image);
        inputs.emplace_back(what, image.Build());
    };
    nearMiss("control byte in a name", [](ModImage& m) { m.samples[3].name = "a\x01"; });
    nearMiss("high byte in a name", [](ModImage& m) { m.samples[0].name = "caf\xE9"; });
    nearMiss("volume 65", [](ModImage& m) { m.samples[2].volume = 65; });
    nearMiss("finetune", [](ModImage& m) { m.samples[0].finetune = 1; });
    nearMiss("length of 32769 words", [](ModImage& m) { m.samples[5].words = 32769; });
    nearMiss("song length 0", [](ModImage& m) { m.songLength = 0; });
    nearMiss("song length 129", [](ModImage& m) { m.songLength = 129; });
    nearMiss("order 128 beyond the song", [](ModImage& m) { m.orders[100] = 128; });
    nearMiss("order naming a pattern not held", [](ModImage& m) {
        m.orders[1] = 1;
        m.sampleData.clear();
    });
    nearMiss("no sample data", [](ModImage& m) {
        for (auto& sample : m.samples) sample.words = 0;
    });
    Bytes tagged = Soundtracker().Build();
    std::copy_n("M.K.", 4, tagged.begin() + 1080);
    inputs.emplace_back("a 31-sample tag", tagged);
    Bytes shortened = Soundtracker().Build();
    shortened.resize(600 + 1023);
    inputs.emplace_back("pattern cut short", shortened);
    shortened.resize(599);
    inputs.emplace_back("header cut short", shortened);
    inputs.emplace_back("nothing", Bytes{});
    inputs.emplace_back("zeros", Bytes(4000, 0));

    std::mt19937 random(18);
    for (const std::size_t size : {100u, 600u, 1700u, 5000u, 70000u}) {
        for (int i = 0; i < 20; ++i) {
            Bytes noise(size);
            for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
            inputs.emplace_back("random bytes", noise);
        }
    }
    const std::string_view prose =
        "Converting tracker modules for the game is done with the command line tool; see the "
        "README for the options, 123 -- 456, (A) [B] {C} ...\r\n";
    Bytes text;
    while (text.size() < 8000) text.insert(text.end(), prose.begin(), prose.end());
    inputs.emplace_back("text", text);

    // The openings of other formats' files, with zeros or a pattern of bytes after them.
    const std::vector<std::pair<std::size_t, std::string_view>> signatures = {
        {0, "MTM\x10"}, {0, "FAR\xFE"}, {0, "IMPM"}, {8, "AMFF"}, {44, "SCRM"}, {44, "PTMF"},
        {0, "MAS_UTrack_V004"}, {0, "Extended Module: "}, {0, "if"}, {0, "JN"},
        {20, "!Scream!"}, {20, "BMOD2STM"}, {1080, "M.K."}, {1080, "8CHN"},
    };
    for (const auto& [offset, signature] : signatures) {
        for (const std::uint8_t fill : {0x00, 0x20, 0x40}) {
            Bytes file(6000, fill);
            std::copy(signature.begin(), signature.end(), file.begin() + offset);
            inputs.emplace_back(std::string(signature), file);
        }
    }
    return inputs;
}

TEST_F(ModLoaderTest, TheFifteenSampleProbeRefusesNearMissesAndOtherFiles) {
    for (const auto& [what, bytes] : NotSoundtrackerModules()) {
        test::MemoryFile file(bytes);
        InstallStreams(StreamFile, nullptr);
        EXPECT_FALSE(IsSoundtrackerModule(file.get())) << what;
        EXPECT_EQ(std::ftell(file.get()), 0) << what;
    }
    EXPECT_TRUE(IsSoundtrackerModule(test::MemoryFile(Soundtracker().Build()).get()));
}

}  // namespace
}  // namespace tunepak
