// FAR modules: sixteen channels, patterns of up to 64 rows with their own tempo byte, up to 64
// signed 8- or 16-bit samples marked present in a bitmap.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <span>

#include "io/services.h"
#include "io/stream_reader.h"
#include "loaders/common.h"
#include "loaders/loaders.h"
#include "loaders/single_sample_common.h"
#include "model/conversion_record.h"
#include "model/patterns.h"

namespace tunepak {

namespace {

constexpr int channels = 16;
constexpr int maxRows = 64;
constexpr std::size_t cellBytes = 4;
constexpr std::size_t rowBytes = channels * cellBytes;
constexpr std::size_t patternHead = 2;  // break row and tempo
constexpr std::size_t maxPatternBytes = patternHead + maxRows * rowBytes;
constexpr std::size_t convertedPatterns = 255;  // pattern 255 is never converted
constexpr std::size_t maxSamples = 64;

struct Header {
    std::array<std::uint8_t, 4> signature;
    std::array<std::uint8_t, 40> songName;
    std::array<std::uint8_t, 3> endOfText;
    Le16 headerLength;  // where the pattern data starts
    std::uint8_t version;
    std::array<std::uint8_t, 16> channelOn;
    std::array<std::uint8_t, 9> editorState;
    std::uint8_t defaultTempo;
    std::array<std::uint8_t, channels> pans;  // 0..15
    std::array<std::uint8_t, 4> moreEditorState;
    Le16 songTextLength;
};
static_assert(sizeof(Header) == 98);

struct OrderSection {
    std::array<std::uint8_t, 256> orders;
    std::uint8_t patternCount;
    std::uint8_t songLength;
    std::uint8_t loopPosition;
    std::array<Le16, 256> patternLengths;  // bytes; 0 = no pattern
};
static_assert(sizeof(OrderSection) == 771);

struct SampleRecord {
    std::array<std::uint8_t, 32> name;
    Le32 length;  // bytes
    std::uint8_t finetune;
    std::uint8_t volume;
    Le32 loopStart;         // bytes
    Le32 loopEnd;           // bytes
    std::uint8_t type;      // bit 0: 16-bit
    std::uint8_t loopMode;  // bit 3: looped
};
static_assert(sizeof(SampleRecord) == 48);

constexpr std::uint8_t tempoCommand = 15;  // the one FAR effect that is kept

// The FAR effects by number, for the conversion record.
constexpr std::array<const char*, 16> effectNames = {
    "FAR 0 (global function)",  "FAR 1 (pitch up)",        "FAR 2 (pitch down)",
    "FAR 3 (portamento)",       "FAR 4 (retrigger)",       "FAR 5 (vibrato depth)",
    "FAR 6 (vibrato)",          "FAR 7 (volume slide up)", "FAR 8 (volume slide down)",
    "FAR 9 (sustained vibrato)", "FAR A (slide to volume)", "FAR B (balance)",
    "FAR C (note offset)",      "FAR D (fine tempo down)", "FAR E (fine tempo up)",
    "FAR F (tempo)",
};
constexpr int noteOffset = 48;             // FAR note 1 is note byte 49
constexpr std::uint8_t highestNote = 72;

Event ConvertCell(int channel, std::span<const std::uint8_t, cellBytes> cell) {
    Event event{.channel = channel};
    const std::uint8_t note = cell[0];
    if (note != 0 && note <= highestNote) {
        event.note = static_cast<std::uint8_t>(note + noteOffset);
        event.instrument = static_cast<std::uint8_t>(cell[1] + 1);
    } else if (note > highestNote) {
        NoteOutOfRange("FAR note values above 72");
    }
    if (cell[2] != 0) {
        // Volumes 1..17 become 0..64; a rotated value beyond 64 is no volume.
        const auto volume = std::rotl(static_cast<std::uint8_t>(cell[2] - 1), 2);
        if (volume <= 64) event.volume = volume;
    }
    if ((cell[3] >> 4) == tempoCommand) {
        event.command = EffectSpeedTempo;
        event.parameter = cell[3] & 0x0F;
    } else if (cell[3] != 0) {
        NoteDroppedEffect(effectNames[cell[3] >> 4]);
    }
    return event;
}

// Converts one stored pattern (break row, tempo, then rows of cells); its first cell carries the
// pattern's tempo.
bool ConvertPattern(std::size_t number, std::span<const std::uint8_t, maxPatternBytes> source) {
    constexpr int lastBreakRow = maxRows - 2;
    const int rows = std::min<int>(source[0], lastBreakRow) + 2;
    const std::uint8_t tempo = source[1];
    return EmitGridPattern(number, rows, channels, tempo, [&](int row, int channel) {
        const std::size_t at = patternHead + row * rowBytes + channel * cellBytes;
        return ConvertCell(channel, source.subspan(at).first<cellBytes>());
    });
}

}  // namespace

int LoadFar(void* stream) {
    StreamReader reader(stream);
    const auto header = reader.Read<Header>();
    if (!reader.Skip(header.songTextLength)) return ResultBadFile;
    std::copy_n(header.songName.begin(), song.title.size(), song.title.begin());
    for (int c = 0; c < channels; ++c) {
        song.channelPan[c] = static_cast<std::uint8_t>(header.pans[c] * 4 + 2);
    }

    const auto section = reader.Read<OrderSection>();
    // The pattern data starts at the header length; a gap before it is skipped.
    const std::uint64_t consumed = sizeof(Header) + header.songTextLength + sizeof(OrderSection);
    if (header.headerLength > consumed && !reader.Skip(header.headerLength - consumed)) {
        return ResultBadFile;
    }
    std::copy(section.orders.begin(), section.orders.end(), orderList.begin());
    song.lastOrder = static_cast<std::uint8_t>(section.songLength - 1);

    WorkBuffer pattern(maxPatternBytes);
    if (!pattern) return ResultNoMemory;
    for (std::size_t p = 0; p < convertedPatterns; ++p) {
        const std::size_t length = section.patternLengths[p];
        if (length == 0) continue;
        // Rows the pattern does not store are empty; bytes beyond 64 rows are skipped.
        const std::size_t kept = std::min(length, maxPatternBytes);
        const std::size_t got = reader.Read(pattern.span().first(kept));
        std::fill(pattern.data() + got, pattern.data() + maxPatternBytes, std::uint8_t{0});
        if (!reader.Skip(static_cast<std::int64_t>(length - kept))) return ResultBadFile;
        if (!ConvertPattern(p, pattern.span().first<maxPatternBytes>())) {
            return ResultNoPatternMemory;
        }
    }
    // Pattern 255 is left out, but its bytes lie before the samples like any other pattern's.
    if (const std::size_t length = section.patternLengths[convertedPatterns]; length != 0) {
        if (!reader.Skip(static_cast<std::int64_t>(length))) return ResultBadFile;
        NoteDiscarded("FAR pattern 255");
    }

    std::array<std::uint8_t, maxSamples / 8> present{};
    reader.Read(present);
    for (std::size_t s = 0; s < maxSamples; ++s) {
        if (!((present[s / 8] >> (s % 8)) & 1)) continue;
        const auto record = reader.Read<SampleRecord>();
        SampleHeader* sample = NewSampleInstrument(s, record.name);
        if (sample == nullptr) return ResultNoMemory;
        const bool wide = record.type & 0x01;
        const unsigned shift = wide ? 1 : 0;  // bytes to frames
        sample->length = record.length >> shift;
        sample->loopStart = record.loopStart >> shift;
        sample->loopEnd = record.loopEnd >> shift;
        sample->c5Rate = 8287;
        sample->volume = 64;
        const bool looped = record.loopMode & 0x08;
        sample->flags =
            static_cast<std::uint8_t>(sampleMark | (wide ? sixteenBit : 0) | (looped ? loop : 0));
        InstrumentSlot& slot = instrumentTable[s];
        if (const int result = PrepareSample(*sample, slot.sampleData[0], reader.stream())) {
            return result;
        }
        // An odd byte behind 16-bit frames still belongs to this sample's data.
        if (wide && !reader.Skip(record.length & 1)) return ResultBadFile;
    }

    song.songFlags = rowPacked;
    song.initialSpeed = header.defaultTempo;
    song.initialTempo = 80;
    FinishSong(amigaPeriodLimits);
    return ResultOk;
}

}  // namespace tunepak
