#include <array>
#include <string>
#include <vector>

#include "conversion_notes.h"
#include "loaders/loaders.h"
#include "model/player.h"
#include "test_support.h"

namespace tunepak {
namespace {

using test::Bytes;
using test::PatternBytes;
using test::SampleBytes;

// An MTM file built field by field: tracks 1..n, and per pattern the 32 track numbers.
struct MtmImage {
    struct SampleSpec {
        std::uint32_t length = 0, loopStart = 0, loopEnd = 0;
        unsigned finetune = 0, volume = 0, attributes = 0;
    };
    unsigned lastOrder = 0;
    unsigned rowsPerTrack = 64;
    std::array<std::uint8_t, 32> pans{};
    std::vector<SampleSpec> samples;
    std::array<std::uint8_t, 128> orders{};
    std::vector<Bytes> tracks;
    std::vector<std::array<unsigned, 32>> sequence = {{}};
    Bytes comment;
    Bytes sampleData;

    unsigned AddTrack() {
        tracks.emplace_back(192);
        return static_cast<unsigned>(tracks.size());
    }
    void Set(unsigned track, int row, unsigned note, unsigned instrument, unsigned effect = 0,
             unsigned parameter = 0) {
        std::uint8_t* cell = &tracks.at(track - 1)[static_cast<std::size_t>(row) * 3];
        cell[0] = static_cast<std::uint8_t>((note << 2) | (instrument >> 4));
        cell[1] = static_cast<std::uint8_t>(((instrument & 0x0F) << 4) | effect);
        cell[2] = static_cast<std::uint8_t>(parameter);
    }
    Bytes Build() const {
        test::ByteWriter file;
        file.Text("MTM", 3).U8(0x10).Text("mtm title", 20);
        file.U16(static_cast<unsigned>(tracks.size()));
        file.U8(static_cast<unsigned>(sequence.size() - 1)).U8(lastOrder);
        file.U16(static_cast<unsigned>(comment.size())).U8(static_cast<unsigned>(samples.size()));
        file.U8(0).U8(rowsPerTrack).U8(32).Raw(pans);
        for (const SampleSpec& s : samples) {
            file.Text("sample", 22).U32(s.length).U32(s.loopStart).U32(s.loopEnd);
            file.U8(s.finetune).U8(s.volume).U8(s.attributes);
        }
        file.Raw(orders);
        for (const Bytes& track : tracks) file.Raw(track);
        for (const auto& pattern : sequence) {
            for (unsigned track : pattern) file.U16(track);
        }
        return file.Raw(comment).Raw(sampleData).bytes();
    }
};

class MtmLoaderTest : public test::ModelTest {};

TEST_F(MtmLoaderTest, AssemblesPatternsFromSharedTracks) {
    MtmImage image{.rowsPerTrack = 32};  // every track holds 64 rows whatever this says
    const unsigned melody = image.AddTrack();
    image.Set(melody, 0, 24, 1, 0xC, 0x20);
    image.Set(melody, 1, 1, 0);
    image.Set(melody, 2, 0, 33);
    const unsigned ending = image.AddTrack();
    image.Set(ending, 63, 0, 0, 0xF, 3);
    image.sequence = {{}, {}};
    image.sequence[0][0] = melody;
    image.sequence[0][5] = ending;
    image.sequence[1][3] = melody;
    image.sequence[1][9] = 3;  // not stored: would read the track sequence as cells
    image.comment = Bytes(10, 0xEE);
    image.samples = {{.length = 2}};
    image.sampleData = {0x80, 0x90};
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);

    auto rows = [](std::uint8_t channel, const Bytes& last) {
        Bytes bytes = {63};
        const auto effectAndNote = static_cast<std::uint8_t>(0xC0 | channel);
        const auto noteOnly = static_cast<std::uint8_t>(0x40 | channel);
        bytes.insert(bytes.end(), {effectAndNote, 0x20, 0x0C, 0x01, 0x3D, 0});
        bytes.insert(bytes.end(), {noteOnly, 0x00, 0x26, 0});
        bytes.insert(bytes.end(), {noteOnly, 0x21, 0x00, 0});
        bytes.resize(bytes.size() + 60, 0);
        bytes.insert(bytes.end(), last.begin(), last.end());
        return bytes;
    };
    EXPECT_EQ(PatternBytes(0), rows(0, {0x85, 0x03, 0x0F, 0x00}));
    EXPECT_EQ(PatternBytes(1), rows(3, {0x00}));
    EXPECT_EQ(song.channelCount, 6);
    EXPECT_EQ(SampleBytes(0), Bytes({0x00, 0x10}));  // found behind the comment
}

TEST_F(MtmLoaderTest, HeaderOrdersAndPans) {
    MtmImage image{.lastOrder = 5};
    image.pans[0] = 0;
    image.pans[1] = 7;
    image.pans[2] = 15;
    image.pans[31] = 242;  // out of range: held at the right edge
    image.orders = {0, 0, 0, 0, 0, 0, 0, 9};
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(song.title.data())), "mtm title");
    EXPECT_EQ(song.lastOrder, 5);
    EXPECT_EQ(orderList[7], 9);
    EXPECT_EQ(song.channelPan[0], 2);
    EXPECT_EQ(song.channelPan[1], 30);
    EXPECT_EQ(song.channelPan[2], 62);
    EXPECT_EQ(song.channelPan[31], 62);
    EXPECT_EQ(song.channelCount, 1);
    EXPECT_EQ(song.songFlags, amigaSlides | rowPacked);
    ReleaseModule();

    image.lastOrder = 200;  // only 128 orders are stored
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
    EXPECT_EQ(song.lastOrder, 127);
}

TEST_F(MtmLoaderTest, SampleHeadersAndData) {
    MtmImage image;
    image.samples = {
        {.length = 6, .loopStart = 2, .loopEnd = 6, .finetune = 0x1F, .volume = 70},
        {.length = 1000, .loopStart = 200, .loopEnd = 800, .finetune = 3, .attributes = 1},
        {.length = 4, .loopStart = 0, .loopEnd = 2},
        {.length = 5, .attributes = 1},  // an odd byte count of 16-bit frames
        {.length = 3},
    };
    image.sampleData = {0x80, 0x81, 0x00, 0xFF, 0x10, 0x20};
    for (int i = 0; i < 500; ++i) image.sampleData.insert(image.sampleData.end(), {0x00, 0x80});
    image.sampleData.insert(image.sampleData.end(),
                            {1, 2, 3, 4, 0x34, 0x92, 0x00, 0x80, 0x55, 1, 2, 3});
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);

    const SampleHeader& first = test::Sample(0);
    EXPECT_EQ(first.flags, loop | 0x80);
    EXPECT_EQ(first.flags2, converted);
    EXPECT_EQ(first.c5Rate, 8280u);
    EXPECT_EQ(first.volume, 64);
    EXPECT_EQ(SampleBytes(0), Bytes({0x00, 0x01, 0x80, 0x7F, 0x90, 0xA0}));

    const SampleHeader& wide = test::Sample(1);
    EXPECT_EQ(wide.length, 400u);  // 500 frames, cut at the loop end
    EXPECT_EQ(wide.loopStart, 100u);
    EXPECT_EQ(wide.loopEnd, 400u);
    EXPECT_EQ(wide.flags, loop | 0x80 | sixteenBit);
    EXPECT_EQ(wide.c5Rate, 8529u);
    EXPECT_EQ(SampleBytes(1).front(), 0x00);
    EXPECT_EQ(SampleBytes(1)[1], 0x00);

    EXPECT_EQ(test::Sample(2).flags, 0);  // loop end 2 is no loop
    EXPECT_EQ(SampleBytes(3), Bytes({0x34, 0x12, 0x00, 0x00}));
    EXPECT_EQ(SampleBytes(4), Bytes({0x81, 0x82, 0x83}));  // the odd byte before it is skipped
}

TEST_F(MtmLoaderTest, SamplesBeyondTheInstrumentTableAreNotLoaded) {
    MtmImage image;
    image.samples.resize(130, {.length = 1});
    for (int i = 0; i < 130; ++i) image.sampleData.push_back(static_cast<std::uint8_t>(i));
    image.orders[1] = 4;
    const unsigned track = image.AddTrack();
    image.Set(track, 0, 24, 1);
    image.sequence[0][2] = track;
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
    EXPECT_EQ(SampleBytes(127), Bytes({127 ^ 0x80}));
    EXPECT_EQ(orderList[1], 4);
    EXPECT_EQ(song.channelCount, 3);
}

TEST_F(MtmLoaderTest, TruncatedFilesLoadWhatTheyHold) {
    MtmImage image;
    const unsigned track = image.AddTrack();
    image.Set(track, 0, 24, 1);
    image.sequence[0][1] = track;
    image.sequence[0][30] = track;
    image.samples = {{.length = 1000}};
    // The track sequence is cut short and the sample data is missing.
    const Bytes bytes = test::WithoutLastBytes(image.Build(), 20);
    ASSERT_EQ(test::LoadFromBytes(bytes), ResultOk);
    EXPECT_EQ(song.channelCount, 2);
    EXPECT_EQ(test::Sample(0).length, 0u);
}

TEST_F(MtmLoaderTest, AllocationFailuresAndEveryPrefixEndCleanly) {
    MtmImage image;
    const unsigned track = image.AddTrack();
    image.Set(track, 0, 24, 1);
    image.sequence = {{}, {}};
    image.sequence[1][0] = track;
    image.samples = {{.length = 4}};
    image.sampleData = Bytes(4, 1);
    test::ExpectEveryAllocationFailureAndPrefixToEndCleanly(image.Build());
}

TEST_F(MtmLoaderTest, ConversionNotesTellOfCutAndMissingSamples) {
    // MTM uses the MOD effects, all of which the model has, and has no volume column.
    MtmImage image;
    image.samples.resize(130);
    image.samples[0].length = 100;  // 60 of its bytes in the file
    image.samples[1].length = 50;   // its data would start beyond the file's end
    image.sampleData = Bytes(60, 1);
    test::ExpectNotes(image.Build(), {
        {ConversionKind::beyondLimit, "MTM samples beyond 128", 2},
        {ConversionKind::sampleCut, sampleCutLabel, 2, -1, -1, 90},
    });
}

TEST_F(MtmLoaderTest, ConversionNotesTellOfTempo32) {
    // F20 is tempo 32 to MultiTracker, as to ProTracker; its other effects are not noted.
    MtmImage image;
    const unsigned track = image.AddTrack();
    image.Set(track, 3, 0, 0, 0xF, 0x20);
    image.Set(track, 4, 0, 0, 0xE, 0x31);
    image.Set(track, 5, 0, 0, 0xF, 0x1F);
    image.sequence[0][0] = track;
    test::ExpectNotes(image.Build(), {
        {ConversionKind::changedParameter, "MTM F20 (tempo 32), kept as speed 32", 1, 0, 3},
    });
}

}  // namespace
}  // namespace tunepak
