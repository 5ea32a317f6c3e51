#include <array>
#include <string>
#include <vector>

#include "loaders/loaders.h"
#include "model/player.h"
#include "test_support.h"
#include "conversion_notes.h"

namespace tunepak {
namespace {

using test::Bytes;

// A MOD file built field by field; patterns are added as cells are set.
struct ModImage {
    struct SampleSpec {
        std::string name;
        unsigned words = 0, finetune = 0, volume = 0, loopStart = 0, loopLength = 0;
    };
    std::string tag = "M.K.";
    int channels = 4;
    unsigned songLength = 1;
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
        for (const SampleSpec& s : samples) {
            file.Text(s.name, 22).U16Be(s.words).U8(s.finetune).U8(s.volume);
            file.U16Be(s.loopStart).U16Be(s.loopLength);
        }
        file.U8(songLength).U8(127).Raw(orders).Text(tag, 4);
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

Bytes PatternBytes(std::size_t number) {
    const auto block = test::Pattern(number);
    return {block.begin(), block.end()};
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
        "00CH", "33CH", "99CH", "1xCH", "m.k.",
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
    const Bytes bytes = image.Build();
    EXPECT_GT(test::ExpectCleanAllocationFailures(bytes), 3);
    EXPECT_GT(test::ExpectCleanLoadsOfEveryPrefix(bytes), 0);
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
    const Bytes bytes = image.Build();
    test::ExpectNotes(bytes, {{ConversionKind::sampleCut, sampleCutLabel, 1, -1, -1, 30}});
}

}  // namespace
}  // namespace tunepak
