// ULT modules: patterns stored as one packed track per channel and pattern, cells with two
// effects each, and signed 8- or 16-bit samples behind the track data.

#include <algorithm>
#include <array>
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

constexpr int rows = 64;
constexpr std::size_t cellBytes = 5;
constexpr std::uint8_t repeatMarker = 0xFC;
constexpr std::size_t repeatBytes = 2 + cellBytes;  // marker, count, cell
// The longest packed track: 64 repeat cells.
constexpr std::size_t maxTrackBytes = rows * repeatBytes;
constexpr std::size_t columnBytes = rows * cellBytes;
constexpr std::size_t maxSamples = 128;

struct Header {
    std::array<std::uint8_t, 14> signature;
    std::uint8_t version;  // '1'..'4'
    std::array<std::uint8_t, 32> title;
    std::uint8_t songTextLines;  // 32 bytes each
};
static_assert(sizeof(Header) == 48);

struct SampleRecord {
    std::array<std::uint8_t, 32> name;
    std::array<std::uint8_t, 12> fileName;
    Le32 loopStart;
    Le32 loopEnd;
    Le32 sizeStart;
    Le32 sizeEnd;
    std::uint8_t volume;  // 0..255
    std::uint8_t flags;   // bit 2 16-bit, bit 3 loop, bit 4 ping-pong
    LeS16 fineAdjust;
};
static_assert(sizeof(SampleRecord) == 64);

struct SongSection {
    std::array<std::uint8_t, 256> orders;
    std::uint8_t lastChannel;
    std::uint8_t lastPattern;
};
static_assert(sizeof(SongSection) == 258);

// Where one track lies, counted from the start of the module.
struct TrackPlace {
    std::uint32_t position;
    std::uint32_t length;
};

constexpr std::uint8_t sampleFlagBits = sixteenBit | loop | pingPong;  // same bits in ULT
constexpr std::uint16_t defaultRateBase = 8363;
constexpr std::uint8_t defaultPan = 7;

// Walks a packed track up to 64 rows, taking only cells that lie wholly in `packed`, and
// returns the bytes walked. With a column, the cells are expanded into it (rows beyond 64 are
// dropped). Measuring and expanding both use this walk, so they agree on where a track ends.
std::size_t WalkTrack(std::span<const std::uint8_t> packed, std::span<std::uint8_t> column) {
    std::size_t at = 0;
    int row = 0;
    while (row < rows && at < packed.size()) {
        const bool repeat = packed[at] == repeatMarker;
        const std::size_t size = repeat ? repeatBytes : cellBytes;
        if (at + size > packed.size()) break;
        const int count = repeat ? packed[at + 1] : 1;
        const auto cell = packed.subspan(at + size - cellBytes, cellBytes);
        for (int r = row; r < std::min(row + count, rows) && !column.empty(); ++r) {
            std::copy(cell.begin(), cell.end(), column.begin() + r * cellBytes);
        }
        row += count;
        at += size;
    }
    return at;
}

// One ULT effect command with its parameter p as an internal command and parameter.
struct EffectRule {
    std::uint8_t command;
    enum Parameter : std::uint8_t { Drop, Same, Times4, Quarter, Pan16, Extended } parameter;
};
constexpr std::array<EffectRule, 16> effectRules = {{
    {EffectArpeggio, EffectRule::Same},         // 0 arpeggio
    {EffectPortaUp, EffectRule::Same},          // 1 portamento up
    {EffectPortaDown, EffectRule::Same},        // 2 portamento down
    {EffectTonePorta, EffectRule::Same},        // 3 tone portamento
    {EffectVibrato, EffectRule::Same},          // 4 vibrato
    {0, EffectRule::Drop},                      // 5 dropped
    {EffectVibratoVolSlide, EffectRule::Same},  // 6 vibrato and volume slide
    {EffectTremolo, EffectRule::Same},          // 7 tremolo
    {EffectSetPan, EffectRule::Same},           // 8 as the internal command 8
    {EffectSampleOffset, EffectRule::Times4},   // 9 sample offset, p x 4 kept to 8 bits
    {EffectVolSlide, EffectRule::Same},         // 10 volume slide
    {EffectExtended, EffectRule::Pan16},        // 11 pan y: extended 0x80 + y
    {EffectSetVolume, EffectRule::Quarter},     // 12 set volume 0..255 as p / 4
    {EffectPatternBreak, EffectRule::Same},     // 13 pattern break
    {EffectExtended, EffectRule::Extended},     // 14 extended; x = 8 is the pattern delay
    {EffectSpeedTempo, EffectRule::Same},       // 15 speed or tempo
}};

constexpr std::uint8_t ultPatternDelay = 8;  // x of ULT's extended command 14

Event ConvertCell(int channel, std::span<const std::uint8_t> cell) {
    constexpr std::uint8_t highestNote = 72;
    constexpr int noteOffset = 36;  // ULT note 1 is note byte 37
    Event event{.channel = channel, .instrument = cell[1]};
    if (cell[0] >= 1 && cell[0] <= highestNote) {
        event.note = static_cast<std::uint8_t>(cell[0] + noteOffset);
    } else if (cell[0] > highestNote) {
        NoteOutOfRange("ULT note values above 72");
    }

    // Of the two effects, the one with the higher command wins; on a tie the second.
    const int first = cell[2] >> 4;
    const int second = cell[2] & 0x0F;
    const int command = first > second ? first : second;
    const std::uint8_t p = first > second ? cell[4] : cell[3];
    // The other effect, unless it is an empty arpeggio.
    const bool otherLost = first > second ? (second != 0 || cell[3] != 0)
                                          : (first != 0 || cell[4] != 0);
    if (otherLost) NoteDroppedEffect("ULT second effects of a cell (the lower command)");
    const EffectRule& rule = effectRules[command];
    event.command = rule.command;
    switch (rule.parameter) {
        case EffectRule::Drop: NoteDroppedEffect("ULT 5 (sample playback mode)"); break;
        case EffectRule::Same: event.parameter = p; break;
        case EffectRule::Times4:
            event.parameter = static_cast<std::uint8_t>(p * 4);
            if (p >= 64) NoteChangedParameter("ULT 9 (sample offsets from 40h, cut to 8 bits)");
            break;
        case EffectRule::Quarter: event.parameter = p / 4; break;
        case EffectRule::Pan16:
            event.parameter = static_cast<std::uint8_t>(0x80 + (p & 0x0F));
            break;
        case EffectRule::Extended:
            event.parameter = (p >> 4) == ultPatternDelay
                                  ? static_cast<std::uint8_t>(ExtPatternDelay << 4 | (p & 0x0F))
                                  : p;
            break;
    }
    return event;
}

}  // namespace

int LoadUlt(void* stream) {
    WorkBuffer packed(maxTrackBytes);
    WorkBuffer grid(packedChannels * columnBytes);
    if (!packed || !grid) return ResultNoMemory;

    StreamReader reader(stream);
    const auto header = reader.Read<Header>();
    if (!reader.Skip(std::int64_t{header.songTextLines} * 32) || header.version > '4') {
        return ResultBadFile;
    }
    const bool hasRateBase = header.version == '4';
    const bool hasPans = header.version >= '3';
    std::copy(header.title.begin(), header.title.end(), song.title.begin());

    // Every sample header is read to reach the song section; the instrument table holds 128.
    const std::size_t sampleCount = reader.U8();
    const std::size_t loadedSamples = std::min(sampleCount, maxSamples);
    if (sampleCount > loadedSamples) {
        NoteBeyondLimit("ULT samples beyond 128",
                        static_cast<std::uint32_t>(sampleCount - loadedSamples));
    }
    for (std::size_t j = 0; j < sampleCount; ++j) {
        const auto record = reader.Read<SampleRecord>();
        const std::uint16_t rateBase = hasRateBase ? reader.U16() : defaultRateBase;
        if (j >= loadedSamples) continue;
        SampleHeader* sample = NewSampleInstrument(j, record.name);
        if (sample == nullptr) return ResultNoMemory;
        const bool wide = record.flags & sixteenBit;
        const unsigned shift = wide ? 1 : 0;  // the loop is counted in bytes, the size in frames
        sample->length = record.sizeEnd - record.sizeStart;
        sample->loopStart = record.loopStart >> shift;
        sample->loopEnd = record.loopEnd >> shift;
        sample->volume = record.volume / 4;
        sample->flags = static_cast<std::uint8_t>((record.flags & sampleFlagBits) | sampleMark);
        sample->c5Rate = static_cast<std::uint32_t>(record.fineAdjust + rateBase);
    }

    const auto section = reader.Read<SongSection>();
    std::copy(section.orders.begin(), section.orders.end(), orderList.begin());
    song.lastOrder = LastOrderBeforeEnd(section.orders);
    const std::size_t channels = section.lastChannel + std::size_t{1};
    const std::size_t patterns = section.lastPattern + std::size_t{1};
    // Channels beyond the 32 that an event can name are measured but not converted.
    const std::size_t convertedChannels = std::min<std::size_t>(channels, packedChannels);
    if (channels > convertedChannels) {
        NoteBeyondLimit("ULT channels beyond 32",
                        static_cast<std::uint32_t>(channels - convertedChannels));
    }
    for (std::size_t c = 0; c < channels; ++c) {
        const std::uint8_t position = hasPans ? reader.U8() : defaultPan;
        if (c < convertedChannels) song.channelPan[c] = static_cast<std::uint8_t>(position * 4 + 2);
    }

    // Measure every track, channel by channel, noting where the converted ones lie.
    WorkBuffer places(convertedChannels * patterns * sizeof(TrackPlace));
    if (!places) return ResultNoMemory;
    const std::span<TrackPlace> placeOf(reinterpret_cast<TrackPlace*>(places.data()),
                                        convertedChannels * patterns);
    for (std::size_t c = 0; c < channels; ++c) {
        for (std::size_t p = 0; p < patterns; ++p) {
            const std::uint64_t position = reader.Offset();
            const std::size_t got = reader.Read(packed.span());
            const std::size_t length = WalkTrack(packed.span(), {});
            if (!reader.Skip(static_cast<std::int64_t>(length) - static_cast<std::int64_t>(got))) {
                return ResultBadFile;
            }
            if (c < convertedChannels) {
                placeOf[c * patterns + p] = {static_cast<std::uint32_t>(position),
                                             static_cast<std::uint32_t>(length)};
            }
        }
    }
    const std::uint64_t sampleData = reader.Offset();

    // The converted tracks lie together, channel after channel, ahead of any others: they are
    // read in one piece, not sought out one by one for every pattern. What the stream does not
    // hold reads as zeros, as it did when the tracks were measured.
    std::uint64_t tracksLength = 0;
    for (const TrackPlace& place : placeOf) tracksLength += place.length;
    const std::uint64_t tracksStart = placeOf.empty() ? 0 : placeOf[0].position;
    const std::uint64_t held =
        reader.Seek(tracksStart)
            ? std::min(tracksLength, reader.BytesLeft().value_or(tracksLength))
            : 0;
    WorkBuffer tracks(static_cast<std::size_t>(held), WorkBuffer::Fill::none);  // read whole
    if (held != 0 && !tracks) return ResultNoMemory;
    reader.Read(tracks.span());

    for (std::size_t p = 0; p < patterns; ++p) {
        std::fill(grid.data(), grid.data() + grid.size(), std::uint8_t{0});
        for (std::size_t c = 0; c < convertedChannels; ++c) {
            const TrackPlace& place = placeOf[c * patterns + p];
            const auto track = packed.span().first(place.length);
            const std::uint64_t from = std::min<std::uint64_t>(place.position - tracksStart, held);
            const auto rest = tracks.span().subspan(static_cast<std::size_t>(from));
            const auto inside = rest.first(std::min<std::size_t>(place.length, rest.size()));
            std::fill(std::copy(inside.begin(), inside.end(), track.begin()), track.end(),
                      std::uint8_t{0});
            WalkTrack(track, grid.span().subspan(c * columnBytes, columnBytes));
        }
        const auto cells = [&](int row, int channel) {
            const std::size_t at = static_cast<std::size_t>(channel) * columnBytes +
                                   static_cast<std::size_t>(row) * cellBytes;
            return ConvertCell(channel, grid.span().subspan(at, cellBytes));
        };
        if (!EmitGridPattern(p, rows, static_cast<int>(convertedChannels), cells)) {
            return ResultNoPatternMemory;
        }
    }
    places = WorkBuffer();
    tracks = WorkBuffer();

    // The sample data follows the tracks, where the measuring ended.
    if (!reader.Seek(sampleData)) return ResultBadFile;
    for (std::size_t j = 0; j < loadedSamples; ++j) {
        InstrumentSlot& slot = instrumentTable[j];
        if (const int result =
                PrepareSample(SampleOf(slot.block, 0), slot.sampleData[0], reader.stream())) {
            return result;
        }
    }

    FinishAmigaSong();
    return ResultOk;
}

}  // namespace tunepak
