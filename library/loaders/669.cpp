// 669 modules: eight channels, patterns of up to 64 rows with their own break row and speed, and
// unsigned 8-bit samples.

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

constexpr int channels = 8;
constexpr int storedRows = 64;
constexpr std::size_t cellBytes = 3;
constexpr std::size_t patternBytes = storedRows * channels * cellBytes;
// The header's order, speed and break-row tables have this many entries, and the instrument
// table this many slots.
constexpr std::size_t tableEntries = 128;
constexpr std::uint32_t noLoop = 0xFFFFF;

struct Header {
    std::array<std::uint8_t, 2> signature;
    std::array<std::uint8_t, 108> message;
    std::uint8_t sampleCount;
    std::uint8_t patternCount;
    std::uint8_t loopOrder;
    std::array<std::uint8_t, tableEntries> orders;
    std::array<std::uint8_t, tableEntries> speeds;
    std::array<std::uint8_t, tableEntries> breakRows;
};
static_assert(sizeof(Header) == 497);

struct SampleRecord {
    std::array<std::uint8_t, 13> fileName;
    Le32 length;
    Le32 loopStart;
    Le32 loopEnd;
};
static_assert(sizeof(SampleRecord) == 25);

// One 669 effect (the effect byte's high nibble) as an internal command; the parameter is the
// effect value v (the low nibble) times `scale` plus `offset`. A scale of 0 drops the effect.
// Composer 669 keeps the slides and the vibrato running on the channel's later rows.
struct EffectRule {
    std::uint8_t command;
    std::uint8_t scale;
    std::uint8_t offset;
    bool runsOn;
    const char* label;  // the effect's own name, for the conversion record
};
constexpr std::array<EffectRule, 16> effectRules = {{
    {EffectPortaUp, 1, 0, true, "669 a (portamento up)"},          // 0
    {EffectPortaDown, 1, 0, true, "669 b (portamento down)"},      // 1
    {EffectTonePorta, 1, 0, true, "669 c (tone portamento)"},      // 2
    {EffectExtended, 1, 0x10, false, "669 d (frequency adjust)"},  // 3 fine portamento up by v
    {EffectVibrato, 16, 1, true, "669 e (vibrato)"},               // 4 speed v, depth 1
    {EffectSpeedTempo, 1, 0, false, "669 f (set speed)"},          // 5
    {0, 0, 0, false, "669 effect 6"},                              // 6 dropped
    {0, 0, 0, false, "669 effect 7"},                              // 7 dropped
    {0, 0, 0, false, "669 effect 8"},                              // 8 dropped
    {0, 0, 0, false, "669 effect 9"},                              // 9 dropped
    {0, 0, 0, false, "669 effect 10"},                             // 10 dropped
    {0, 0, 0, false, "669 effect 11"},                             // 11 dropped
    {0, 0, 0, false, "669 effect 12"},                             // 12 dropped
    {0, 0, 0, false, "669 effect 13"},                             // 13 dropped
    {0, 0, 0, false, "669 effect 14"},                             // 14 dropped
    {0, 0, 0, false, "669 effect 15"},                             // 15 dropped
}};

// Cell byte values with a meaning of their own.
constexpr std::uint8_t volumeOnly = 0xFE;  // first byte: no note, no instrument
constexpr std::uint8_t emptyCell = 0xFF;   // first byte: nothing at all
constexpr std::uint8_t noEffect = 0xFF;    // third byte

constexpr int noteOffset = 37;  // 669 note 0 is note byte 37

// A channel's running effect: the effect byte that Composer 669 repeats on the channel's rows
// without an effect of their own, until a note or an effect of value 0 stops it.
constexpr std::uint8_t nothingRunning = 0xFF;

// Notes what the conversion plays otherwise than Composer 669 in a cell: an effect that ran on
// from an earlier row, kept on that row alone, and speed 0, which stops the song once converted
// (unless the pattern's speed takes the cell's place).
void NoteRunningEffects(std::span<const std::uint8_t, cellBytes> cell, bool takenBySpeed,
                        std::uint8_t& running) {
    if (cell[0] < volumeOnly) running = nothingRunning;
    if (cell[2] == noEffect) {
        if (running != nothingRunning) {
            NoteDroppedEffect("669 effects running on over later rows, kept on their own");
        }
        return;
    }
    const EffectRule& rule = effectRules[cell[2] >> 4];
    const bool stops = (cell[2] & 0x0F) == 0;
    if (stops && rule.command == EffectSpeedTempo && !takenBySpeed) {
        NoteChangedParameter("669 f0 (speed 0, ignored), kept as song end");
    }
    running = rule.runsOn && !stops ? cell[2] : nothingRunning;
}

Event ConvertCell(int channel, std::span<const std::uint8_t, cellBytes> cell) {
    Event event{.channel = channel};
    if (cell[0] != emptyCell) {
        event.volume = static_cast<std::uint8_t>((cell[1] & 0x0F) * 4);
        if (cell[0] != volumeOnly) {
            event.note = static_cast<std::uint8_t>((cell[0] >> 2) + noteOffset);
            event.instrument =
                static_cast<std::uint8_t>((cell[0] & 0x03) * 16 + (cell[1] >> 4) + 1);
        }
    }
    if (cell[2] != noEffect) {
        const EffectRule& rule = effectRules[cell[2] >> 4];
        if (rule.scale == 0) NoteDroppedEffect(rule.label);
        event.command = rule.command;
        event.parameter = static_cast<std::uint8_t>((cell[2] & 0x0F) * rule.scale + rule.offset);
    }
    return event;
}

// Converts the rows up to `breakRow`; the first cell carries the pattern's speed. Running
// effects stop at the end of a pattern.
bool ConvertPattern(std::size_t number, int breakRow, std::uint8_t speed,
                    std::span<const std::uint8_t, patternBytes> source) {
    std::array<std::uint8_t, channels> running;
    running.fill(nothingRunning);
    return EmitGridPattern(number, breakRow + 1, channels, speed, [&](int row, int channel) {
        const std::size_t at = (static_cast<std::size_t>(row) * channels + channel) * cellBytes;
        const auto cell = source.subspan(at).first<cellBytes>();
        const bool first = row == 0 && channel == 0;
        NoteRunningEffects(cell, first, running[static_cast<std::size_t>(channel)]);
        return ConvertCell(channel, cell);
    });
}

}  // namespace

int Load669(void* stream) {
    StreamReader reader(stream);
    const auto header = reader.Read<Header>();
    std::copy_n(header.message.begin(), song.title.size(), song.title.begin());
    std::copy(header.orders.begin(), header.orders.end(), orderList.begin());

    // Every sample header is read to reach the patterns; the instrument table holds 128.
    const std::size_t loadedSamples = std::min<std::size_t>(header.sampleCount, tableEntries);
    if (header.sampleCount > loadedSamples) {
        NoteBeyondLimit("669 samples beyond 128",
                        static_cast<std::uint32_t>(header.sampleCount - loadedSamples));
    }
    for (std::size_t s = 0; s < header.sampleCount; ++s) {
        const auto record = reader.Read<SampleRecord>();
        if (s >= loadedSamples) continue;
        SampleHeader* sample = NewSampleInstrument(s, record.fileName);
        if (sample == nullptr) return ResultNoMemory;
        sample->length = record.length;
        sample->loopStart = record.loopStart;
        sample->loopEnd = record.loopEnd;
        sample->c5Rate = 8448;
        sample->volume = 60;
        if (record.loopEnd != noLoop) sample->flags = loop | sampleMark;
    }

    song.lastOrder = LastOrderBeforeEnd(header.orders);

    WorkBuffer pattern(patternBytes);
    if (!pattern) return ResultNoMemory;
    constexpr int lastRow = storedRows - 1;
    for (std::size_t k = 0; k < header.patternCount; ++k) {
        // Patterns beyond the header's tables have no break row or speed of their own.
        const bool inTables = k < tableEntries;
        const int breakRow = inTables ? std::min<int>(header.breakRows[k], lastRow) : lastRow;
        const std::uint8_t speed = inTables ? header.speeds[k] : 0;
        reader.Read(pattern.span());
        if (!ConvertPattern(k, breakRow, speed, pattern.span().first<patternBytes>())) {
            return ResultNoPatternMemory;
        }
    }

    for (std::size_t s = 0; s < loadedSamples; ++s) {
        InstrumentSlot& slot = instrumentTable[s];
        if (const int result = PrepareSample(SampleOf(slot.block, 0), slot.sampleData[0],
                                             reader.stream(), {.unsignedValues = true})) {
            return result;
        }
    }

    constexpr std::array<std::uint8_t, channels> pans = {13, 51, 13, 51, 13, 51, 13, 51};
    std::copy(pans.begin(), pans.end(), song.channelPan.begin());
    song.songFlags = rowPacked;
    song.initialSpeed = 3;
    song.initialTempo = 80;
    // Composer 669 ticks at 78 BPM's rate (31.2 Hz), a little slower.
    if (header.patternCount != 0) {
        NoteChangedParameter("669 tick rate (tempo 78), kept as tempo 80");
    }
    FinishSong(amigaPeriodLimits);
    return ResultOk;
}

}  // namespace tunepak
