#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "loaders/loaders.h"
#include "model/patterns.h"
#include "model/player.h"
#include "adpcm_test_support.h"
#include "conversion_notes.h"
#include "packed_rows.h"
#include "test_support.h"
#include "model/conversion_record.h"

namespace tunepak {
namespace {

using test::Bytes;
using test::PatternBytes;

struct XmSample {
    std::string name;
    Bytes data;
    std::optional<std::uint32_t> length;  // in bytes; the data's size when absent
    std::uint32_t loopStart = 0, loopLength = 0;
    std::uint8_t volume = 64, type = 0, panning = 128;
    std::int8_t finetune = 0, relativeNote = 0;
    std::uint8_t reserved = 0;  // 0xAD on an 8-bit sample: ModPlug ADPCM
};

struct XmInstrument {
    std::string name;
    std::vector<XmSample> samples;
    std::optional<unsigned> sampleCount;  // the samples' count when absent
    std::uint32_t headerSize = 263, sampleHeaderSize = 40;
    std::array<std::uint8_t, 96> keyMap{};
    std::array<std::array<unsigned, 2>, 12> volumeEnvelope{}, panningEnvelope{};
    unsigned volumePoints = 0, panningPoints = 0, volumeSustain = 0, volumeLoopStart = 0,
             volumeLoopEnd = 0, panningSustain = 0, panningLoopStart = 0, panningLoopEnd = 0,
             volumeType = 0, panningType = 0, vibratoType = 0, vibratoSweep = 0, vibratoDepth = 0,
             vibratoRate = 0, fadeOut = 0;
};

struct XmPattern {
    unsigned rows = 1;
    Bytes packed;
    std::uint32_t headerLength = 9;  // 8 in version 0x0102
};

// An XM file built field by field.
struct XmImage {
    unsigned version = 0x0104, songLength = 1, channels = 1, flags = 1, speed = 6, tempo = 125;
    std::uint32_t headerSize = 276;
    std::array<std::uint8_t, 256> orders{};
    std::vector<XmPattern> patterns;
    std::vector<XmInstrument> instruments;
    std::optional<unsigned> patternCount;

    Bytes Build() const {
        test::ByteWriter file;
        file.Text("Extended Module: ", 17).Text("xm title", 20).U8(0x1A).Text("tracker", 20);
        file.U16(version).U32(headerSize).U16(songLength).U16(0).U16(channels);
        file.U16(patternCount.value_or(static_cast<unsigned>(patterns.size())));
        file.U16(static_cast<unsigned>(instruments.size())).U16(flags).U16(speed).U16(tempo);
        file.Raw(std::span(orders).first(std::min<std::size_t>(orders.size(), headerSize - 20)));
        if (headerSize > 276) file.Fill(headerSize - 276, 0xEE);
        // Versions before 0x0104 keep every header before the patterns and the data after them.
        const bool headersFirst = version < 0x0104;
        if (headersFirst) {
            for (const XmInstrument& in : instruments) AddHeaders(file, in);
        }
        for (const XmPattern& p : patterns) {
            file.U32(p.headerLength).U8(0);
            if (version == 0x0102) {
                file.U8(p.rows - 1).U16(static_cast<unsigned>(p.packed.size()));
                file.Fill(p.headerLength - 8, 0xEE);
            } else {
                file.U16(p.rows).U16(static_cast<unsigned>(p.packed.size()));
                file.Fill(p.headerLength - 9, 0xEE);
            }
            file.Raw(p.packed);
        }
        for (const XmInstrument& in : instruments) {
            if (!headersFirst) AddHeaders(file, in);
            for (const XmSample& sample : in.samples) file.Raw(sample.data);
        }
        return file.bytes();
    }

    static void AddHeaders(test::ByteWriter& file, const XmInstrument& in) {
        test::ByteWriter header;
        header.Text(in.name, 22).U8(0);
        header.U16(in.sampleCount.value_or(static_cast<unsigned>(in.samples.size())));
        header.U32(in.sampleHeaderSize).Raw(in.keyMap);
        for (const auto* envelope : {&in.volumeEnvelope, &in.panningEnvelope}) {
            for (const auto& point : *envelope) header.U16(point[0]).U16(point[1]);
        }
        for (unsigned v : {in.volumePoints, in.panningPoints, in.volumeSustain, in.volumeLoopStart,
                           in.volumeLoopEnd, in.panningSustain, in.panningLoopStart,
                           in.panningLoopEnd, in.volumeType, in.panningType, in.vibratoType,
                           in.vibratoSweep, in.vibratoDepth, in.vibratoRate}) {
            header.U8(v);
        }
        header.U16(in.fadeOut).U16(0);
        header.bytes().resize(std::max<std::uint32_t>(in.headerSize, 4) - 4, 0xEE);
        file.U32(in.headerSize).Raw(header.bytes());
        for (const XmSample& s : in.samples) {
            test::ByteWriter sample;
            sample.U32(s.length.value_or(static_cast<std::uint32_t>(s.data.size())));
            sample.U32(s.loopStart).U32(s.loopLength).U8(s.volume).U8(static_cast<std::uint8_t>(s.finetune));
            sample.U8(s.type).U8(s.panning).U8(static_cast<std::uint8_t>(s.relativeNote));
            sample.U8(s.reserved);
            sample.Text(s.name, 22);
            sample.bytes().resize(in.sampleHeaderSize, 0xEE);
            file.Raw(sample.bytes());
        }
    }
};

// A packed cell that holds the given items; a byte with bit 7 clear starts a full cell.
Bytes Packed(std::optional<unsigned> note, std::optional<unsigned> instrument,
             std::optional<unsigned> volume, std::optional<unsigned> effect,
             std::optional<unsigned> parameter) {
    Bytes cell = {0x80};
    unsigned bit = 1;
    for (const auto& item : {note, instrument, volume, effect, parameter}) {
        if (item) {
            cell[0] = static_cast<std::uint8_t>(cell[0] | bit);
            cell.push_back(static_cast<std::uint8_t>(*item));
        }
        bit <<= 1;
    }
    return cell;
}
const Bytes emptyCell = {0x80};

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The number of events in each row of a row-packed pattern.
std::vector<int> EventsPerRow(std::size_t number) {
    const Bytes block = PatternBytes(number);
    std::vector<int> rows;
    std::size_t at = 1;
    while (at < block.size()) {
        int events = 0;
        for (; block.at(at) != 0; ++events) {
            const std::uint8_t flag = block[at];
            at += 1 + ((flag & hasEffect) ? 2 : 0) + ((flag & hasNote) ? 2 : 0) + ((flag & hasVolume) ? 1 : 0);
        }
        ++at;
        rows.push_back(events);
    }
    return rows;
}

class XmLoaderTest : public test::ModelTest {};

TEST_F(XmLoaderTest, SongHeaderAndHeaderSizes) {
    for (const std::uint32_t headerSize : {276u, 300u, 22u}) {
        XmImage image;
        image.headerSize = headerSize;
        image.songLength = 2;
        image.flags = 0;
        image.speed = 0x0103;
        image.tempo = 0x0190;
        image.orders[0] = 0;
        image.orders[1] = 1;
        image.patterns = {{.rows = 1, .packed = Packed(49, 1, {}, {}, {})}, {.rows = 2}};
        // A header shorter than the order table ends inside the 256 bytes read with it.
        image.instruments = {{.samples = {{.data = Bytes(300, 0)}}}};
        SCOPED_TRACE(headerSize);
        ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(song.title.data())), "xm title");
        EXPECT_EQ(song.lastOrder, 1);
        EXPECT_EQ(orderList[1], 1);
        EXPECT_EQ(song.songFlags, amigaSlides | rowPacked);
        EXPECT_EQ(song.initialSpeed, 3);
        EXPECT_EQ(song.initialTempo, 0x90);
        EXPECT_EQ(song.minPeriod, 453);
        EXPECT_EQ(song.maxPeriod, 0xFF00);
        EXPECT_EQ(PatternBytes(0), (Bytes{0, 0x40, 1, 61, 0}));  // the pattern data start in place
        EXPECT_EQ(PatternBytes(1), (Bytes{1, 0, 0}));
        EXPECT_EQ(test::Sample(0).length, 300u);
        ReleaseModule();
    }
    XmImage linear;
    linear.songLength = 0;
    ASSERT_EQ(test::LoadFromBytes(linear.Build()), ResultOk);
    EXPECT_EQ(song.songFlags, rowPacked);
    EXPECT_EQ(song.lastOrder, 255);
    EXPECT_EQ(song.channelCount, 1);  // no events at all
}

TEST_F(XmLoaderTest, CellTranslation) {
    struct Case {
        Bytes cell;
        Bytes event;
    };
    const std::vector<Case> cases = {
        {Packed({}, {}, {}, 8, 0xFF), {0x80, 0x7F, EffectSetPan}},  // set panning halved
        {Packed({}, {}, {}, 28, 0xFF), {0x80, 0xFF, EffectSetPan}},
        {Packed({}, {}, {}, 34, 0x40), {0x80, 0x40, EffectSetPan}},
        // key off: the note becomes a key off and the volume column takes over the effect
        {Packed(49, {}, 0x65, 20, 7), {0xC0, 0x05, EffectVolSlide, 0, keyOff}},
        {Packed({}, {}, 0x65, 1, 0x10), {0x80, 0x10, EffectPortaUp}},  // volume column effect lost
        {Packed({}, {}, 0x65, {}, {}), {0x80, 0x05, EffectVolSlide}},
        {Packed({}, {}, 0x7A, 0x10, 0x40), {0x80, 0xA0, EffectVolSlide}},  // dropped effect
        {Packed({}, {}, 0x83, {}, {}), {0x80, 0xB3, EffectExtended}},
        {Packed({}, {}, 0x92, {}, {}), {0x80, 0xA2, EffectExtended}},
        {Packed({}, {}, 0xA4, {}, {}), {0x80, 0x40, EffectVibrato}},
        {Packed({}, {}, 0xB5, {}, {}), {0x80, 0x05, EffectVibrato}},
        {Packed({}, {}, 0xC7, {}, {}), {0x80, 0x87, EffectExtended}},
        {Packed({}, {}, 0xD3, {}, {}), {}},
        {Packed({}, {}, 0xF3, {}, {}), {0x80, 0x30, EffectTonePorta}},
        {Packed({}, {}, 0x50, {}, {}), {0x20, 64}},
        {Packed({}, {}, 0x51, {}, {}), {}},
        {Packed({}, {}, 0x10, 0x0C, 0x20), {0xA0, 0x20, EffectSetVolume, 0}},
        {Packed({}, {}, {}, 0, 0x37), {0x80, 0x37, EffectArpeggio}},
        {Packed(1, {}, {}, {}, {}), {0x40, 0, 13}},
        {{96, 2, 0, 0, 0}, {0x40, 2, 108}},  // a full cell
        {Packed(97, {}, {}, {}, {}), {0x40, 0, keyOff}},
        {Packed(98, {}, {}, {}, {}), {}},
        {Packed({}, 3, {}, {}, {}), {0x40, 3, 0}},
    };
    XmImage image;
    XmPattern pattern{.rows = static_cast<unsigned>(cases.size())};
    Bytes expected = {static_cast<std::uint8_t>(cases.size() - 1)};
    for (const Case& c : cases) {
        pattern.packed.insert(pattern.packed.end(), c.cell.begin(), c.cell.end());
        expected.insert(expected.end(), c.event.begin(), c.event.end());
        expected.push_back(0);
    }
    image.patterns = {pattern};
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
    EXPECT_EQ(PatternBytes(0), expected);
}

TEST_F(XmLoaderTest, ChannelCountFollowsTheEvents) {
    XmImage image;
    image.channels = 16;
    Bytes row = Packed(49, {}, {}, {}, {});
    for (int c = 1; c < 16; ++c) row = Concat({row, c == 5 ? Packed({}, {}, 0x20, {}, {}) : emptyCell});
    image.patterns = {{.rows = 1, .packed = row}};
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
    EXPECT_EQ(song.channelCount, 6);
    EXPECT_EQ(PatternBytes(0), (Bytes{0, 0x40, 0, 61, 0x25, 16, 0}));
    ReleaseModule();

    // Channels from 32 up are read past but not converted.
    image.channels = 34;
    Bytes rows;
    for (int c = 0; c < 34; ++c) rows = Concat({rows, c == 33 ? Packed(50, {}, {}, {}, {}) : emptyCell});
    for (int c = 0; c < 34; ++c) rows = Concat({rows, c == 1 ? Packed(50, {}, {}, {}, {}) : emptyCell});
    image.patterns = {{.rows = 2, .packed = rows}};
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
    EXPECT_EQ(PatternBytes(0), (Bytes{1, 0, 0x41, 0, 62, 0}));
    EXPECT_EQ(song.channelCount, 2);
}

TEST_F(XmLoaderTest, DamagedPatterns) {
    XmImage image;
    image.channels = 2;
    const Bytes note = Packed(49, {}, {}, {}, {});
    image.patterns = {
        {.rows = 0, .packed = Concat({note, note})},  // no rows: 64 empty ones, data skipped
        {.rows = 3, .packed = Concat({note, note, {0x83, 50}}), .headerLength = 12},  // cut cell
        {.rows = 1, .packed = note},
    };
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
    EXPECT_EQ(EventsPerRow(0), std::vector<int>(64, 0));
    EXPECT_EQ(EventsPerRow(1), (std::vector<int>{2, 0, 0}));
    EXPECT_EQ(PatternBytes(2), (Bytes{0, 0x40, 0, 61, 0}));
    ReleaseModule();

    // Packed data beyond 49,152 bytes are skipped: decoding ends with the first cell cut there.
    image.channels = 40;
    Bytes big;
    for (int cell = 0; cell < 256 * 40; ++cell) big.insert(big.end(), {49, 1, 0, 0, 0});
    image.patterns = {{.rows = 256, .packed = big}, {.rows = 1, .packed = Concat({note, emptyCell})}};
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
    const std::vector<int> events = EventsPerRow(0);
    ASSERT_EQ(events.size(), 256u);
    EXPECT_EQ(events[244], 32);
    EXPECT_EQ(events[245], 30);  // 49,152 / 5 = 9,830 whole cells: row 245 ends after channel 29
    EXPECT_EQ(events[246], 0);
    EXPECT_EQ(PatternBytes(1), (Bytes{0, 0x40, 0, 61, 0}));
}

TEST_F(XmLoaderTest, RefusesWhatTheModelCannotHold) {
    for (const unsigned unknown : {0x0101u, 0x0105u}) {
        XmImage version;
        version.version = unknown;
        EXPECT_EQ(test::LoadFromBytes(version.Build()), ResultBadFile) << unknown;
        ReleaseModule();
    }

    XmImage rows;
    rows.patterns = {{.rows = 257}};
    EXPECT_EQ(test::LoadFromBytes(rows.Build()), ResultBadFile);
    ReleaseModule();

    XmImage patterns;
    patterns.patternCount = 257;
    EXPECT_EQ(test::LoadFromBytes(patterns.Build()), ResultBadFile);
    ReleaseModule();

    XmImage samples;
    samples.instruments = {{.sampleCount = 256}};
    EXPECT_EQ(test::LoadFromBytes(samples.Build()), ResultBadFile);
}

TEST_F(XmLoaderTest, InstrumentRecord) {
    XmInstrument first{.name = "lead", .samples = {{.data = {0}}},
                       .volumePoints = 12,  // only ten points are kept
                       .panningPoints = 3, .volumeSustain = 2, .volumeLoopStart = 1,
                       .volumeLoopEnd = 3, .panningSustain = 1, .panningLoopEnd = 2,
                       .volumeType = 0x0F, .panningType = 0x05, .vibratoType = 2,
                       .vibratoSweep = 0xF0, .vibratoDepth = 0xFF, .vibratoRate = 0x80,  // signed
                       .fadeOut = 4095};
    first.keyMap[0] = 1;
    first.keyMap[95] = 3;
    first.volumeEnvelope[1] = {20, 32};
    first.volumeEnvelope[9] = {0x1001, 0x0105};
    first.volumeEnvelope[10] = {30, 10};
    first.panningEnvelope[2] = {5, 48};
    XmImage image;
    image.instruments = {first,
                         {.samples = {{.data = {0}}}, .fadeOut = 32},  // no envelope points
                         {.samples = {{.data = {0}}}, .volumePoints = 1, .panningPoints = 1}};
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);

    const InstrumentRecord& lead = test::Instrument(0);
    EXPECT_EQ(std::string(lead.name.data()), "lead");
    EXPECT_EQ((std::array{lead.sampleMap[11], lead.sampleMap[12], lead.sampleMap[107]}),
              (std::array<std::uint8_t, 3>{0, 1, 3}));
    EXPECT_EQ(lead.vibratoType, 2);
    EXPECT_EQ(lead.vibratoSweep, 0xF0);
    EXPECT_EQ(lead.vibratoDepth, -4);
    EXPECT_EQ(lead.vibratoRate, -2048);
    // flags, last point, sustain, loop start, loop end: volume low nibble, panning high
    EXPECT_EQ((std::array{lead.envelopeFlags, lead.envelopeLastPoint, lead.envelopeSustain,
                          lead.envelopeLoopStart, lead.envelopeLoopEnd}),
              (std::array<std::uint8_t, 5>{0x5F, 0x29, 0x12, 0x01, 0x23}));
    EXPECT_EQ(lead.volumeEnvelope[1].position, 320);
    EXPECT_EQ(lead.volumeEnvelope[1].value, 32);
    EXPECT_EQ(lead.volumeEnvelope[9].position, 0x0010);  // kept to 16 bits
    EXPECT_EQ(lead.volumeEnvelope[9].value, 0x05);
    EXPECT_EQ(lead.panningEnvelope[2].position, 80);
    EXPECT_EQ(lead.panningEnvelope[2].value, 48);
    EXPECT_EQ(lead.fadeOut, 64);

    EXPECT_EQ(test::Instrument(1).envelopeLastPoint, 0xFF);
    EXPECT_EQ(test::Instrument(1).fadeOut, 1);
    EXPECT_EQ(test::Instrument(2).envelopeLastPoint, 0x00);
    EXPECT_EQ(test::Instrument(2).fadeOut, 0);
}

TEST_F(XmLoaderTest, InstrumentsWithoutSamples) {
    XmImage image;
    image.instruments = {
        {.name = "short", .headerSize = 29},
        {.name = "long", .fadeOut = 4095},  // the usual 263-byte header; nothing more is used
        {.name = "tiny", .headerSize = 2},
        {.name = "sampled", .samples = {{.name = "s", .data = {3, 1}}}},
    };
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
    for (std::size_t slot = 0; slot < 2; ++slot) {
        const InstrumentRecord& record = test::Instrument(slot);
        EXPECT_EQ(record.sampleCount, 0);
        EXPECT_EQ(record.size, 225u);
        EXPECT_EQ(record.index, slot);
        EXPECT_EQ(record.fadeOut, 0);
    }
    EXPECT_EQ(std::string(test::Instrument(0).name.data()), "short");
    EXPECT_EQ(std::string(test::Instrument(1).name.data()), "long");
    // A header size too small for its own field: the field alone is read.
    EXPECT_EQ(test::Instrument(2).name[0], 0);
    EXPECT_EQ(std::string(test::Instrument(3).name.data()), "sampled");
    EXPECT_EQ(test::SampleFrames(3)[1], 4);
}

TEST_F(XmLoaderTest, SampleHeadersAndData) {
    XmInstrument in{.sampleHeaderSize = 44};  // four bytes after each header are skipped
    in.samples = {
        {.name = "delta", .data = {1, 1, 1, 1}, .volume = 50, .panning = 0xFF},
        // 16-bit with a forward loop: byte counts become frame counts
        {.data = Bytes(1000, 0), .loopStart = 200, .loopLength = 400, .type = 0x11},
        // 16-bit word deltas, with an odd last byte that is not a frame
        {.data = {0x00, 0x01, 0x00, 0x01, 0xFF, 0xFF, 0x77}, .type = 0x10},
        // both loop bits: a ping-pong loop, never the pan or stereo bits
        {.data = {5, 1, 1, 1}, .loopStart = 0, .loopLength = 4, .type = 0x03},
        {.data = {9}, .loopStart = 0, .loopLength = 1, .type = 0x02},
        {.name = "empty", .loopStart = 4, .loopLength = 4, .volume = 64, .type = 0x11},
    };
    XmImage image;
    image.instruments = {in};
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);

    const SampleHeader& delta = test::Sample(0, 0);
    EXPECT_EQ(std::string(delta.name.data()), "delta");
    EXPECT_EQ(delta.volume, 50);
    EXPECT_EQ(delta.pan, 63);
    EXPECT_EQ(delta.c5Rate, 8376u);
    EXPECT_EQ(delta.flags, usePan | 0x80);  // delta coding decoded
    EXPECT_EQ(Bytes(test::SampleFrames(0, 0).begin(), test::SampleFrames(0, 0).end()),
              (Bytes{1, 2, 3, 4}));

    const SampleHeader& looped = test::Sample(0, 1);
    EXPECT_EQ(looped.flags, 0xAC);
    EXPECT_EQ(looped.loopStart, 100u);
    EXPECT_EQ(looped.loopEnd, 300u);
    EXPECT_EQ(looped.length, 300u);  // a looped sample ends at its loop

    EXPECT_EQ(test::Sample(0, 2).length, 3u);
    EXPECT_EQ(Bytes(test::SampleFrames(0, 2).begin(), test::SampleFrames(0, 2).end()),
              (Bytes{0x00, 0x01, 0x00, 0x02, 0xFF, 0x01}));

    EXPECT_EQ(test::Sample(0, 3).flags, 0xB8);
    EXPECT_EQ(Bytes(test::SampleFrames(0, 3).begin(), test::SampleFrames(0, 3).end()),
              (Bytes{5, 6, 7, 8}));  // read from its own first byte, not split as stereo
    EXPECT_EQ(test::Sample(0, 4).flags, 0xB8);

    const SampleHeader& empty = test::Sample(0, 5);
    EXPECT_EQ(std::string(empty.name.data()), "empty");
    EXPECT_EQ(empty.flags, 0);
    EXPECT_EQ(empty.volume, 0);
    EXPECT_EQ(empty.loopEnd, 0u);
    EXPECT_EQ(test::Instrument(0).size, 225u + 6 * 64);
}

TEST_F(XmLoaderTest, SampleRates) {
    struct Case {
        std::int8_t relativeNote, finetune;
        std::uint32_t rate;
    };
    const std::vector<Case> cases = {
        {0, 0, 8376},   {0, -128, 7893}, {0, 127, 8856},    {0, 64, 8618},
        {-12, 0, 4188}, {12, 0, 16753},  {127, 0, 2020766}, {-128, 0, 32},  // table ends
    };
    XmInstrument in;
    for (const Case& c : cases) {
        in.samples.push_back({.data = {0}, .finetune = c.finetune, .relativeNote = c.relativeNote});
    }
    XmImage image;
    image.instruments = {in};
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
    for (std::size_t k = 0; k < cases.size(); ++k) {
        EXPECT_EQ(test::Sample(0, k).c5Rate, cases[k].rate) << "sample " << k;
    }
}

// A module with a bit of everything, for the damage tests.
Bytes SmallModule() {
    XmImage image;
    image.channels = 2;
    image.patterns = {{.rows = 2, .packed = Concat({Packed(49, 1, 0x30, 0x0A, 0x02), {60, 2, 0x40, 1, 2}})}};
    XmInstrument in{.name = "one", .samples = {{.data = {1, 2, 3, 4}}, {.data = {1, 0, 2, 0}, .type = 0x10}}};
    in.volumePoints = 2;
    image.instruments = {in, {.name = "none"}, {.samples = {{.data = {7, 7}, .loopLength = 2, .type = 1}}}};
    return image.Build();
}

TEST_F(XmLoaderTest, TruncatedFilesLoadCleanly) {
    const Bytes whole = SmallModule();
    ASSERT_EQ(test::LoadFromBytes(whole), ResultOk);
    ReleaseModule();
    for (std::size_t size = 60; size < whole.size(); ++size) {
        const int result = test::LoadFromBytes(std::span(whole).first(size));
        EXPECT_TRUE(result == ResultOk || result == ResultBadFile) << size << ": " << result;
        ReleaseModule();
    }
}

TEST_F(XmLoaderTest, AllocationFailuresEndCleanly) {
    const Bytes bytes = SmallModule();
    EXPECT_GT(test::ExpectCleanAllocationFailures(bytes), 3);
}

TEST_F(XmLoaderTest, ConversionNotesTellWhatIsLost) {
    XmImage image;
    image.channels = 2;
    const Bytes globalVolume = Packed({}, {}, {}, 0x10, 0x20);
    image.patterns = {{.rows = 4,
                       .packed = Concat({
                           // vibrato depth in the volume column, the effect column taken
                           Packed(49, 1, 0xB4, 0x0A, 0x02), globalVolume,
                           // no note 99; no panning slide
                           Packed(99, {}, {}, {}, {}), Packed({}, {}, 0xD2, {}, {}),
                           // a key off at tick 3 happens at once
                           Packed({}, {}, {}, 0x14, 0x03), emptyCell,
                           // the volume column's vibrato kept, with the effect column empty
                           Packed({}, {}, 0xB4, {}, {}), globalVolume,
                       })}};
    XmInstrument in{.samples = {{.data = Bytes(100, 1)}}};
    in.volumeType = 1;
    in.volumePoints = 12;
    image.instruments = {in};
    test::ExpectNotes(test::WithoutLastBytes(image.Build(), 40), {
        {Kind::lostVolumeEffect, "XM volume column V (vibrato depth)", 1, 0, 0},
        {Kind::droppedEffect, "XM G (global volume)", 2, 0, 0},
        {Kind::noteOutOfRange, "XM note values above 97", 1, 0, 1},
        {Kind::lostVolumeEffect, "XM volume column L (panning slide left)", 1, 0, 1},
        {Kind::changedParameter, "XM K (key off at a later tick)", 1, 0, 2},
        {Kind::beyondLimit, "XM instruments with envelopes of more than 10 points", 1},
        {Kind::sampleCut, sampleCutLabel, 1, -1, -1, 40},
    });
}

// A pattern of one channel whose rows hold these effects, one a row.
XmPattern EffectRows(const std::vector<std::pair<unsigned, unsigned>>& effects) {
    XmPattern pattern{.rows = static_cast<unsigned>(effects.size())};
    for (const auto& [effect, parameter] : effects) {
        const Bytes cell = Packed({}, {}, {}, effect, parameter);
        pattern.packed.insert(pattern.packed.end(), cell.begin(), cell.end());
    }
    return pattern;
}

TEST_F(XmLoaderTest, ConversionNotesTellOfEffectsKeptWithAnotherMeaning) {
    XmImage image;
    image.patterns = {EffectRows({
        {0xF, 0x20}, {0xF, 0x1F}, {0xF, 0x21},  // tempo 32, kept as speed 32; speed 31; tempo 33
        {0xE, 0x31}, {0xE, 0x30},                // glissando on; off
        {0xE, 0x41}, {0xE, 0x45}, {0xE, 0x71},  // vibrato ramps; the tremolo's is not noted
        {0xE, 0x43}, {0xE, 0x77}, {0xE, 0x42},  // waveform 3, a square; a square as such
        {0xE, 0x58},                             // finetune 0 to FastTracker 2
        {0x0, 0x37}, {0x0, 0x44},                // arpeggio; the same offset twice
    })};
    // A fade-out counts where the volume envelope is on; without it a key off cuts the note.
    image.instruments = {{.samples = {{.data = {1}}}, .volumeType = 1, .fadeOut = 4095},
                         {.samples = {{.data = {1}}}, .volumeType = 0, .fadeOut = 100},
                         {.samples = {{.data = {1}}}, .volumeType = 1, .fadeOut = 0}};
    test::ExpectNotes(image.Build(), {
        {Kind::changedParameter, "XM F20 (tempo 32), kept as speed 32", 1, 0, 0},
        {Kind::droppedEffect, "XM E3 (glissando control)", 1, 0, 3},
        {Kind::changedParameter, "XM E41 (vibrato ramp, upwards), kept as ramp down", 2, 0, 5},
        {Kind::changedParameter, "XM E43/E73 (square waveform), kept as sine", 2, 0, 8},
        {Kind::changedParameter, "XM E5 (set finetune), kept as a MOD finetune", 1, 0, 11},
        {Kind::changedParameter, "XM 0 (arpeggio), kept in another tick order", 1, 0, 12},
        {Kind::changedParameter, "XM instrument fade-out, kept at half speed", 1},
    });
}

TEST_F(XmLoaderTest, RestartsOfTheLastNoteAndJumpsAfterBreaksAreNoted) {
    XmImage image{.channels = 2};
    const auto row = [](Bytes first, Bytes second) { return Concat({first, second}); };
    const auto fx = [](unsigned effect, unsigned parameter) {
        return Packed({}, {}, {}, effect, parameter);
    };
    image.patterns = {{.rows = 9,
                       .packed = Concat({
                           // before the pattern's first note on channel 0 the last note is not
                           // certain; channel 1's note is its own
                           row(fx(0xE, 0x90), Packed(49, 1, {}, 0xE, 0x90)),
                           row(Packed(49, 1, {}, {}, {}), emptyCell),
                           // then E90 and ED2 without a note restart it, ED0 does not
                           row(fx(0xE, 0x90), Packed(49, {}, {}, 0xE, 0xD2)),
                           row(Packed({}, 1, {}, 0xE, 0xD2), fx(0xE, 0xD0)),
                           // a jump after a break: FastTracker 2 goes to row 0
                           row(fx(0xD, 0x12), fx(0xB, 0x00)),
                           // a jump before the break, and a break to row 0: as converted
                           row(fx(0xB, 0x00), fx(0xD, 0x12)),
                           row(fx(0xD, 0x00), fx(0xB, 0x00)),
                           row(fx(0xD, 0x10), fx(0xB, 0x00)),
                           // a key off delayed by ED3 is released at tick 3; ED0 is no delay
                           row(Packed(97, {}, {}, 0xE, 0xD3), Packed(97, {}, {}, 0xE, 0xD0)),
                       })}};
    image.instruments = {{.samples = {{.data = {1}}}}};
    test::ExpectNotes(image.Build(), {
        {Kind::changedParameter,
         "XM E90 without a note (restarts the last note), kept as no action", 1, 0, 2},
        {Kind::changedParameter,
         "XM ED1-EDF without a note (restarts the last note at that tick), kept as no action", 1,
         0, 3},
        {Kind::changedParameter,
         "XM B after D on one row (FastTracker 2 goes to row 0), kept going to D's row", 2, 0, 4},
        {Kind::changedParameter,
         "XM key off with ED1-EDF (released at that tick), kept releasing on tick 0", 1, 0, 8},
    });
}

TEST_F(XmLoaderTest, OffsetsBeyondTheEndOfALoopedSampleAreNotedOnceTheInstrumentsAreRead) {
    // Notes 1 to 48 play a looped sample of 512 frames, the notes from 49 up an unlooped one.
    XmInstrument in{.samples = {{.data = Bytes(512, 1), .loopStart = 256, .loopLength = 256,
                                 .type = 1},
                                {.data = Bytes(512, 1)}}};
    std::fill(in.keyMap.begin() + 48, in.keyMap.end(), 1);
    XmImage image;
    image.instruments = {in};
    image.patterns = {{.rows = 6,
                       .packed = Concat({
                           Packed(25, 1, {}, 0x9, 0x02),   // 512: noted
                           Packed(25, 1, {}, 0x9, 0x01),   // within the sample
                           Packed(49, 1, {}, 0x9, 0x04),   // the unlooped sample
                           Packed(25, {}, {}, 0x9, 0x04),  // no instrument named
                           Packed({}, 1, {}, 0x9, 0x04),   // no note
                           Packed(25, 1, {}, 0x9, 0x03),
                       })}};
    test::ExpectNotes(image.Build(), {
        {ConversionKind::changedParameter,
         "XM 9 beyond the end of a looped sample (FastTracker 2 stops it), kept from the last "
         "frame",
         2, 0, 0},
    });
}

TEST_F(XmLoaderTest, ZeroParametersThatFastTracker2TakesFromMemoryAreNoted) {
    XmImage image{.channels = 2};
    // A zero counts where its memory holds something: per channel, across patterns in the
    // order of conversion, one memory for A, 5 and 6, and one for each other effect.
    const auto rows = [](std::vector<Bytes> cells) {
        XmPattern pattern{.rows = static_cast<unsigned>(cells.size() / 2)};
        for (const Bytes& cell : cells) {
            pattern.packed.insert(pattern.packed.end(), cell.begin(), cell.end());
        }
        return pattern;
    };
    const auto fx = [](unsigned effect, unsigned parameter) {
        return Packed({}, {}, {}, effect, parameter);
    };
    image.patterns = {
        rows({fx(0x1, 0x00), fx(0xA, 0x00),    // nothing remembered yet: no note
              fx(0x1, 0x05), fx(0xE, 0xA3),    // channel 0 remembers 1 05, channel 1 EA 3
              fx(0x2, 0x00), fx(0xE, 0xB0),    // other memories: no note
              fx(0xA, 0x40), emptyCell}),
        rows({fx(0x1, 0x00), fx(0xE, 0xA0),    // from memory
              fx(0x5, 0x00), fx(0x1, 0x00),    // 5 recalls A's; channel 1 has no 1 of its own
              fx(0xE, 0x10), emptyCell}),      // fine porta up: its own memory, empty
    };
    image.orders[1] = 1;
    test::ExpectNotes(image.Build(), {
        {Kind::changedParameter, "XM 100 (portamento up from memory), kept as 0", 1, 1, 0},
        {Kind::changedParameter, "XM EA0 (fine volume slide up from memory), kept as 0", 1, 1,
         0},
        {Kind::changedParameter, "XM A00/500/600 (volume slide from memory), kept as 0", 1, 1,
         1},
    });
}

TEST_F(XmLoaderTest, OggVorbisSamplesStaySilentAndTheNextSampleIsReadWhole) {
    // An OXM sample: its decoded length, then an Ogg page. It is not decoded: played as PCM it
    // would be noise. The plain sample after it must still be read from its own data.
    Bytes vorbis = {0x40, 0x49, 0, 0, 'O', 'g', 'g', 'S', 0, 2};
    vorbis.resize(31, 0x5A);  // an odd length of 16-bit data: its last byte lies in the file too
    XmImage image;
    image.instruments = {{.samples = {{.data = vorbis, .loopLength = 8, .type = 0x11},
                                      {.data = {1, 1, 1}}}}};
    const Bytes bytes = image.Build();
    test::ExpectNotes(bytes, {
        {ConversionKind::discarded, "Ogg Vorbis sample data (OXM), not decoded", 1},
    });
    ASSERT_EQ(test::LoadFromBytes(bytes), ResultOk);
    const SampleHeader& silent = test::Sample(0, 0);
    EXPECT_EQ(silent.length, 0u);
    EXPECT_EQ(silent.loopEnd, 0u);
    EXPECT_EQ(silent.flags & (loop | pingPong), 0);
    EXPECT_TRUE(test::SampleFrames(0, 0).empty());
    EXPECT_EQ(test::Copy(test::SampleFrames(0, 1)), (Bytes{1, 2, 3}));
}

// Two instruments (the first with two samples, one 16-bit of odd byte length) and two patterns,
// stored in the layout of `version`.
XmImage TwoOfEach(unsigned version) {
    XmImage image{.version = version, .channels = 2};
    image.orders[1] = 1;
    image.songLength = 2;
    image.patterns = {
        {.rows = 3, .packed = Concat({Packed(49, 1, 0x40, 0, 0), emptyCell, emptyCell,
                                      Packed(50, 2, {}, 15, 3), emptyCell, emptyCell})},
        {.rows = 256, .packed = Concat({emptyCell, Packed(97, {}, {}, {}, {})})},
    };
    if (version == 0x0102) {
        for (XmPattern& pattern : image.patterns) pattern.headerLength = 8;
    }
    XmInstrument first{.name = "first", .samples = {{.data = {1, 1, 1}},
                                                    {.data = {1, 0, 1, 0, 0xEE}, .type = 0x10}}};
    first.keyMap[10] = 1;
    image.instruments = {first, {.name = "second", .samples = {{.data = {5, 0xFF}}}}};
    return image;
}

TEST_F(XmLoaderTest, EarlyVersionsStoreHeadersFirstAndDataLast) {
    ASSERT_EQ(test::LoadFromBytes(TwoOfEach(0x0104).Build()), ResultOk);
    const Bytes latest = test::WriteImage();
    EXPECT_EQ(test::PatternRows(1).size(), 256u);
    EXPECT_EQ(test::Copy(test::SampleFrames(0, 0)), (Bytes{1, 2, 3}));
    EXPECT_EQ(test::Copy(test::SampleFrames(0, 1)), (Bytes{1, 0, 2, 0}));
    EXPECT_EQ(test::Copy(test::SampleFrames(1)), (Bytes{5, 4}));
    ReleaseModule();
    for (const unsigned version : {0x0102u, 0x0103u}) {
        SCOPED_TRACE(version);
        ASSERT_EQ(test::LoadFromBytes(TwoOfEach(version).Build()), ResultOk);
        EXPECT_EQ(test::WriteImage(), latest);
        ReleaseModule();
    }
}

TEST_F(XmLoaderTest, AdpcmMarksOnlyEightBitSamples) {
    const Bytes wave = {3, 6, 9, 12, 13, 14, 10, 6, 2};  // odd: the last byte holds one frame
    const test::AdpcmEncoding encoding = test::EncodeAdpcm(wave);
    XmImage image;
    image.instruments = {{.samples = {{.data = encoding.stored, .length = 9, .reserved = 0xAD},
                                      {.data = {0, 1, 0, 1}, .type = 0x10, .reserved = 0xAD},
                                      {.data = {7, 1}}}}};
    ASSERT_EQ(test::LoadFromBytes(image.Build()), ResultOk);
    EXPECT_EQ(test::Copy(test::SampleFrames(0, 0)), wave);
    EXPECT_EQ(test::Sample(0, 0).flags & deltaSource, 0);
    EXPECT_EQ(test::Copy(test::SampleFrames(0, 1)), (Bytes{0, 1, 0, 2}));  // deltas as ever
    EXPECT_EQ(test::Copy(test::SampleFrames(0, 2)), (Bytes{7, 8}));  // found after the ADPCM
    EXPECT_EQ(test::Notes(), (std::vector<test::Noted>{
                                 {ConversionKind::compressedSample, adpcmSampleLabel, 1}}));
}

}  // namespace
}  // namespace tunepak
