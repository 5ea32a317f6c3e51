#include <array>
#include <string>
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

Bytes Cell(unsigned note = 0, unsigned sample = 0, unsigned effects = 0, unsigned b3 = 0,
           unsigned b4 = 0) {
    return {static_cast<std::uint8_t>(note), static_cast<std::uint8_t>(sample),
            static_cast<std::uint8_t>(effects), static_cast<std::uint8_t>(b3),
            static_cast<std::uint8_t>(b4)};
}
Bytes Repeat(unsigned count, const Bytes& cell) {
    Bytes bytes = {0xFC, static_cast<std::uint8_t>(count)};
    bytes.insert(bytes.end(), cell.begin(), cell.end());
    return bytes;
}
Bytes Track(std::initializer_list<Bytes> cells) {
    Bytes track;
    for (const Bytes& cell : cells) track.insert(track.end(), cell.begin(), cell.end());
    return track;
}
const Bytes emptyTrack = Repeat(64, Cell());

// A ULT file built field by field; tracks are given channel by channel, pattern by pattern.
struct UltImage {
    struct SampleSpec {
        std::uint32_t loopStart = 0, loopEnd = 0, sizeStart = 0, sizeEnd = 0;
        unsigned volume = 0, flags = 0;
        int fineAdjust = 0;
        unsigned rateBase = 8363;
    };
    char version = '3';
    std::string songText;  // whole 32-byte lines
    std::vector<SampleSpec> samples;
    std::array<std::uint8_t, 256> orders{};
    unsigned channels = 1;
    unsigned patterns = 1;
    Bytes pans;                 // one per channel from version 3 on; 7 when not given
    std::vector<Bytes> tracks;  // missing ones are empty
    Bytes sampleData;

    Bytes Build() const {
        test::ByteWriter file;
        file.Text("MAS_UTrack_V00", 14).U8(static_cast<unsigned>(version)).Text("ULT title", 32);
        file.U8(static_cast<unsigned>(songText.size() / 32)).Text(songText, songText.size());
        file.U8(static_cast<unsigned>(samples.size()));
        for (const SampleSpec& s : samples) {
            file.Text("a sample name of thirty-two bytes", 32).Text("file.smp", 12);
            file.U32(s.loopStart)
                .U32(s.loopEnd)
                .U32(s.sizeStart)
                .U32(s.sizeEnd)
                .U8(s.volume)
                .U8(s.flags);
            file.U16(static_cast<unsigned>(s.fineAdjust) & 0xFFFF);
            if (version == '4') file.U16(s.rateBase);
        }
        file.Raw(orders).U8(channels - 1).U8(patterns - 1);
        if (version >= '3') {
            for (unsigned c = 0; c < channels; ++c) file.U8(c < pans.size() ? pans[c] : 7);
        }
        for (std::size_t t = 0; t < std::size_t{channels} * patterns; ++t) {
            file.Raw(t < tracks.size() ? tracks[t] : emptyTrack);
        }
        return file.Raw(sampleData).bytes();
    }
};

class UltLoaderTest : public test::ModelTest {};

TEST_F(UltLoaderTest, RepeatCellsAndWhereTracksEnd) {
    UltImage image;
    image.patterns = 5;
    image.samples = {{.sizeEnd = 2}};
    const Bytes a = Cell(25, 1);
    const Bytes b = Cell(26, 2);
    Bytes idle;  // 50 repeats of count 0: 350 bytes that fill no row
    for (int i = 0; i < 50; ++i) idle = Track({idle, Repeat(0, a)});
    Bytes nothing;  // 64 repeats of count 0: the longest track, 448 bytes
    for (int i = 0; i < 64; ++i) nothing = Track({nothing, Repeat(0, b)});
    image.tracks = {
        Track({Repeat(0, Cell(30, 2)), Repeat(64, a)}),         // count 0 fills nothing
        Track({Repeat(62, Cell()), Cell(1, 3), Repeat(9, a)}),  // the last repeat runs past row 63
        Track({idle, Repeat(64, b)}),
        nothing,
        Track({Cell(2, 1), Repeat(63, Cell())}),
    };
    image.sampleData = {5, 6};
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);

    std::vector<Bytes> rows = test::PatternRows(0);
    ASSERT_EQ(rows.size(), 64u);
    for (const Bytes& row : rows) EXPECT_EQ(row, (Bytes{0x40, 1, 61}));
    rows = test::PatternRows(1);
    EXPECT_EQ(rows[61], Bytes{});
    EXPECT_EQ(rows[62], (Bytes{0x40, 3, 37}));
    EXPECT_EQ(rows[63], (Bytes{0x40, 1, 61}));
    for (const Bytes& row : test::PatternRows(2)) EXPECT_EQ(row, (Bytes{0x40, 2, 62}));
    // Nothing is left over from the pattern before.
    for (const Bytes& row : test::PatternRows(3)) EXPECT_EQ(row, Bytes{});
    EXPECT_EQ(test::PatternRows(4)[0], (Bytes{0x40, 1, 38}));
    EXPECT_EQ(SampleBytes(0), (Bytes{5, 6}));  // the samples follow the measured tracks
}

TEST_F(UltLoaderTest, ChoosesAndTranslatesOneEffect) {
    struct Case {
        Bytes cell;
        Bytes event;
    };
    const std::vector<Case> cases = {
        {Cell(0, 0, 0x30, 0x11, 0x22), {0x80, 0x22, 3}},  // the higher command, with byte 4
        {Cell(0, 0, 0x03, 0x11, 0x22), {0x80, 0x11, 3}},  // the low nibble, with byte 3
        {Cell(0, 0, 0x33, 0x11, 0x22), {0x80, 0x11, 3}},  // a tie takes the low nibble's pair
        {Cell(0, 0, 0x0C, 255), {0x80, 63, 12}},
        {Cell(0, 0, 0x09, 0x10), {0x80, 0x40, 9}},
        {Cell(0, 0, 0x09, 0x41), {0x80, 0x04, 9}},  // kept to 8 bits
        {Cell(0, 0, 0x0B, 0x3F), {0x80, 0x8F, 14}},
        {Cell(0, 0, 0x0E, 0x85), {0x80, 0xE5, 14}},  // pattern delay
        {Cell(0, 0, 0x0E, 0x93), {0x80, 0x93, 14}},
        {Cell(0, 0, 0x05, 0x44), {}},
        {Cell(0, 0, 0x50, 0x44, 0x12), {}},  // command 5 wins and is dropped
        {Cell(0, 0, 0x0A, 0x21), {0x80, 0x21, 10}},
        {Cell(0, 0, 0x0F, 0x06), {0x80, 0x06, 15}},
        {Cell(0, 0, 0x00, 0x37), {0x80, 0x37, 0}},  // arpeggio
        {Cell(72, 4), {0x40, 4, 108}},
        {Cell(73, 2), {0x40, 2, 0}},  // no note, the sample stays
    };
    UltImage image;
    Bytes track;
    for (const Case& c : cases) track.insert(track.end(), c.cell.begin(), c.cell.end());
    track = Track({track, Repeat(64 - static_cast<unsigned>(cases.size()), Cell())});
    image.tracks = {track};
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);

    const std::vector<Bytes> rows = test::PatternRows(0);
    ASSERT_EQ(rows.size(), 64u);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(rows[i], cases[i].event) << "row " << i;
    }
}

// Tracks are read in one piece; a file that ends among them leaves the rest of its tracks
// as zeros: empty cells of five zero bytes, to the end of each track's 64 rows.
TEST_F(UltLoaderTest, TracksCutByTheEndOfTheFileReadAsZeros) {
    UltImage image;
    image.channels = 2;
    image.patterns = 2;
    const Bytes a = Cell(25, 1);
    image.tracks = {Track({a, Repeat(63, Cell())}),          // channel 0, pattern 0
                    Track({Repeat(2, Cell()), Repeat(62, a)}),  // channel 0, pattern 1
                    Track({Repeat(3, a), Repeat(61, a)})};     // channel 1, pattern 0: cut
    Bytes file = image.Build();
    // The file ends after the first repeat of channel 1's first track (and two of its bytes).
    const std::size_t channelOneStart = file.size() - emptyTrack.size() - image.tracks[2].size();
    file.resize(channelOneStart + a.size() + 2 + 2);
    ASSERT_EQ(test::LoadFromBytes(file), ResultOk);

    const std::vector<Bytes> first = test::PatternRows(0);
    ASSERT_EQ(first.size(), 64u);
    EXPECT_EQ(first[0], (Bytes{0x40, 1, 61, 0x41, 1, 61}));
    EXPECT_EQ(first[1], (Bytes{0x41, 1, 61}));
    EXPECT_EQ(first[2], (Bytes{0x41, 1, 61}));
    for (std::size_t r = 3; r < 64; ++r) EXPECT_EQ(first[r], Bytes{}) << r;
    const std::vector<Bytes> second = test::PatternRows(1);
    ASSERT_EQ(second.size(), 64u);
    EXPECT_EQ(second[0], Bytes{});
    for (std::size_t r = 2; r < 64; ++r) EXPECT_EQ(second[r], (Bytes{0x40, 1, 61})) << r;
}

TEST_F(UltLoaderTest, PansAndRatesByVersion) {
    UltImage early;
    early.version = '2';
    early.channels = 2;
    early.pans = {1, 2};  // not in the file before version 3
    early.samples = {{.fineAdjust = -100, .rateBase = 1000}};
    early.orders = {0, 0, 0, 0xFF};
    ASSERT_EQ(test::LoadFromBytes(early.Build()), ResultOk);
    EXPECT_EQ(song.channelPan[0], 30);
    EXPECT_EQ(song.channelPan[1], 30);
    EXPECT_EQ(test::Sample(0).c5Rate, 8263u);
    EXPECT_EQ(song.lastOrder, 2);
    EXPECT_EQ(song.songFlags, amigaSlides | rowPacked);
    EXPECT_EQ((std::array{song.initialSpeed, song.initialTempo}),
              (std::array<std::uint8_t, 2>{6, 125}));
    ReleaseModule();

    UltImage late = early;
    late.version = '4';
    late.songText = std::string(64, 'x');
    late.pans = {0, 15};
    late.orders.fill(1);  // no end marker
    ASSERT_EQ(test::LoadFromBytes(late.Build()), ResultOk);
    EXPECT_EQ(song.channelPan[0], 2);
    EXPECT_EQ(song.channelPan[1], 62);
    EXPECT_EQ(test::Sample(0).c5Rate, 900u);
    EXPECT_EQ(song.lastOrder, 255);
    EXPECT_EQ(std::string(song.title.begin(), song.title.begin() + 9), "ULT title");
    ReleaseModule();

    UltImage unknown;
    unknown.version = '5';
    EXPECT_EQ(test::LoadFromBytes(unknown.Build()), ResultBadFile);
}

TEST_F(UltLoaderTest, SampleHeaders) {
    UltImage image;
    image.samples = {
        // 16-bit: the loop is halved, the size is not.
        {.loopStart = 2,
         .loopEnd = 6,
         .sizeStart = 10,
         .sizeEnd = 14,
         .volume = 200,
         .flags = 0x0C},
        {.sizeEnd = 3, .volume = 255, .flags = 0x18 | 0x03},  // ping-pong loop of nothing
    };
    image.sampleData = {1, 0, 2, 0, 3, 0, 4, 0, 7, 8, 9};
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);

    const SampleHeader& wide = test::Sample(0);
    EXPECT_EQ(wide.flags, 0x8C);
    EXPECT_EQ(wide.loopStart, 1u);
    EXPECT_EQ(wide.loopEnd, 3u);
    EXPECT_EQ(wide.length, 3u);  // ends at its loop end
    EXPECT_EQ(wide.volume, 50);
    EXPECT_EQ(wide.c5Rate, 8363u);
    EXPECT_EQ(std::string(test::Instrument(0).name.data(), 28), "a sample name of thirty-two ");
    const SampleHeader& narrow = test::Sample(1);
    EXPECT_EQ(narrow.flags, 0x80);  // an empty loop is no loop
    EXPECT_EQ(narrow.volume, 63);
    EXPECT_EQ(SampleBytes(1), (Bytes{7, 8, 9}));
}

TEST_F(UltLoaderTest, ChannelsBeyondThirtyTwoAreMeasuredButNotConverted) {
    UltImage image;
    image.channels = 33;
    image.patterns = 2;
    image.samples = {{.sizeEnd = 2}};
    for (unsigned c = 0; c < 33; ++c) {
        image.pans.push_back(static_cast<std::uint8_t>(c % 16));
        image.tracks.push_back(Track({Cell(1 + c, 1), Repeat(63, Cell())}));  // pattern 0
        image.tracks.push_back(Track({Repeat(63, Cell()), Cell(40, 1)}));     // pattern 1
    }
    image.sampleData = {0x55, 0x66};
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);

    const Bytes first = test::PatternRows(0)[0];
    ASSERT_EQ(first.size(), 32u * 3);
    EXPECT_EQ((Bytes(first.end() - 3, first.end())), (Bytes{0x5F, 1, 37 + 31}));
    EXPECT_EQ(test::PatternRows(1)[63].size(), 32u * 3);
    EXPECT_EQ(song.channelCount, 32);
    EXPECT_EQ(song.channelPan[31], 15 * 4 + 2);
    EXPECT_EQ(song.channelPan[32], 0);
    EXPECT_EQ(SampleBytes(0), (Bytes{0x55, 0x66}));
}

TEST_F(UltLoaderTest, AllocationFailuresEndTheLoad) {
    UltImage image;
    image.samples = {{.sizeEnd = 2}};
    image.tracks = {Track({Cell(1, 1), Repeat(63, Cell())})};
    image.sampleData = {1, 2};
    // Allocations: two work buffers, instrument, track table, the converted tracks, pattern,
    // its shrink (whose failure keeps the block as it is, and leaves the sample's to fail),
    // sample frames.
    test::ExpectEveryAllocationFailureAndPrefixToEndCleanly(
        image.Build(),
        {ResultNoMemory, ResultNoMemory, ResultNoMemory, ResultNoMemory, ResultNoMemory,
         ResultNoPatternMemory, ResultNoSampleMemory, ResultNoSampleMemory});
}

TEST_F(UltLoaderTest, ConversionNotesTellWhatIsLost) {
    UltImage image;
    image.channels = 34;
    image.tracks = {Track({
        Cell(0, 0, 0x3A, 0x05, 0x20),  // the volume slide wins over the tone portamento
        Cell(0, 0, 0x05, 0x01),        // effect 5
        Cell(0, 0, 0x09, 0x41),        // sample offset 41h x 4, beyond 8 bits
        Cell(80, 1),                   // a note beyond 72
        Repeat(60, Cell()),
    })};
    image.samples.resize(130);
    image.samples[0].sizeEnd = 100;
    image.sampleData = Bytes(60, 1);
    test::ExpectNotes(image.Build(), {
        {Kind::beyondLimit, "ULT samples beyond 128", 2},
        {Kind::beyondLimit, "ULT channels beyond 32", 2},
        {Kind::droppedEffect, "ULT second effects of a cell (the lower command)", 1, 0,
         0},
        {Kind::droppedEffect, "ULT 5 (sample playback mode)", 1, 0, 1},
        {Kind::changedParameter, "ULT 9 (sample offsets from 40h, cut to 8 bits)", 1,
         0, 2},
        {Kind::noteOutOfRange, "ULT note values above 72", 1, 0, 3},
        {Kind::sampleCut, sampleCutLabel, 1, -1, -1, 40},
    });
}

}  // namespace
}  // namespace tunepak
