// STM modules: four channels, 31 samples whose data lie at the paragraphs their headers give,
// and fixed 4-byte cells.

#include <algorithm>
#include <array>
#include <cstring>

#include "io/services.h"
#include "io/stream_reader.h"
#include "loaders/common.h"
#include "loaders/loaders.h"
#include "loaders/scream_common.h"
#include "model/conversion_record.h"
#include "model/patterns.h"

namespace tunepak {

namespace {

using scream::Effect;

struct StmHeader {
    std::array<std::uint8_t, 20> name;
    std::array<std::uint8_t, 8> tracker;
    std::uint8_t endOfText;
    std::uint8_t fileType;
    std::uint8_t versionMajor;
    std::uint8_t versionMinor;
    std::uint8_t initialTempo;  // not converted: the song starts at the default speed and tempo
    std::uint8_t patternCount;
    std::uint8_t globalVolume;
    std::array<std::uint8_t, 13> reserved;
};
static_assert(sizeof(StmHeader) == 48);

struct StmSample {
    std::array<std::uint8_t, 12> fileName;
    std::uint8_t zero;
    std::uint8_t disk;
    Le16 paragraph;
    Le16 length;
    Le16 loopStart;
    Le16 loopEnd;
    std::uint8_t volume;
    std::uint8_t reserved;
    Le16 c5Rate;
    std::array<std::uint8_t, 6> reserved2;
};
static_assert(sizeof(StmSample) == 32);

constexpr std::size_t sampleCount = 31;
constexpr int channels = 4;
constexpr std::size_t cellSize = 4;
constexpr std::size_t patternSize = scream::patternRows * channels * cellSize;
constexpr std::size_t orderEntries = 128;
constexpr std::size_t shortOrderEntries = 64;  // version 2.00 files
constexpr std::uint8_t orderEnd = 99;
constexpr std::uint16_t noLoop = 0xFFFF;
constexpr std::uint8_t noNoteByte = 0xFF;

// How an effect's parameter becomes the internal one.
enum class Rule : std::uint8_t {
    drop,   // no internal equivalent
    same,   // the parameter as it is
    speed,  // the speed sits in the high nibble
};

struct EffectRule {
    Rule rule;
    std::uint8_t command;
    const char* label;  // the effect's own name, for the conversion record
};

constexpr std::array<EffectRule, 16> effectRules = {{
    {Rule::drop, 0, "STM none"},                                        // 0: no effect
    {Rule::speed, EffectSpeedTempo, "STM A (set speed)"},               // high nibble
    {Rule::same, EffectPositionJump, "STM B (position jump)"},          // as it is
    {Rule::same, EffectPatternBreak, "STM C (pattern break)"},          // as it is
    {Rule::same, EffectVolSlide, "STM D (volume slide)"},               // as it is
    {Rule::same, EffectPortaDown, "STM E (portamento down)"},           // as it is
    {Rule::same, EffectPortaUp, "STM F (portamento up)"},               // as it is
    {Rule::same, EffectTonePorta, "STM G (tone portamento)"},           // as it is
    {Rule::same, EffectVibrato, "STM H (vibrato)"},                     // as it is
    {Rule::drop, 0, "STM I (tremor)"},                                  // no equivalent
    {Rule::same, EffectArpeggio, "STM J (arpeggio)"},                   // as it is
    {Rule::drop, 0, "STM K (vibrato + vol slide)"},                     // not kept
    {Rule::same, EffectTonePortaVolSlide, "STM L (porta + vol slide)"}, // as it is
    {Rule::drop, 0, "STM effect 13"},                                   // unused
    {Rule::drop, 0, "STM effect 14"},                                   // unused
    {Rule::drop, 0, "STM effect 15"},                                   // unused
}};

Effect TranslateEffect(std::uint8_t effect, std::uint8_t parameter) {
    const EffectRule entry = effectRules[effect & 0x0F];
    switch (entry.rule) {
        case Rule::drop:
            if ((effect & 0x0F) != 0) NoteDroppedEffect(entry.label);
            return {};
        case Rule::same: return {entry.command, parameter};
        case Rule::speed:
            // Scream Tracker 2 fine-tunes the tempo with the low nibble.
            if ((parameter & 0x0F) != 0) NoteChangedParameter("STM A (set tempo), low nibble lost");
            return {entry.command, static_cast<std::uint8_t>(parameter >> 4)};
    }
    return {};
}

Event ConvertCell(int channel, std::span<const std::uint8_t, cellSize> cell) {
    Event event{.channel = channel};
    const std::uint8_t note = cell[0];
    if (note != 0 && note != noNoteByte) {
        event.note = static_cast<std::uint8_t>((note >> 4) * 12 + (note & 0x0F) + 37);
        if (event.note > NoteByte(119)) NoteOutOfRange("STM notes above B-9");
    }
    event.instrument = static_cast<std::uint8_t>(cell[1] >> 3);
    const int volume = (cell[1] & 0x07) + (cell[2] >> 4) * 8;
    if (volume <= 64) event.volume = static_cast<std::uint8_t>(volume);
    const Effect effect = TranslateEffect(cell[2] & 0x0F, cell[3]);
    event.command = effect.command;
    event.parameter = effect.parameter;
    return event;
}

int ConvertPattern(StreamReader& reader, std::size_t number,
                   std::span<std::uint8_t, patternSize> source) {
    reader.Read(source);
    const auto cells = [&](int row, int channel) {
        const std::size_t at = (static_cast<std::size_t>(row) * channels + channel) * cellSize;
        return ConvertCell(channel, source.subspan(at).first<cellSize>());
    };
    return EmitGridPattern(number, scream::patternRows, channels, cells) ? ResultOk
                                                                         : ResultNoPatternMemory;
}

// The header's tempo of the default speed 6 and tempo 125.
constexpr std::uint8_t defaultTempo = 0x60;

// Notes what makes the song play longer or faster than in the tracker: an initial tempo other
// than the default, and orders naming patterns that the file lacks, where the song ends.
void NoteSongTimeLosses(const StmHeader& header, std::span<const std::uint8_t> orders) {
    if (header.initialTempo != defaultTempo) {
        NoteDiscarded("STM initial tempo other than 60h, kept as speed 6");
    }
    const auto missing = static_cast<std::uint32_t>(std::count_if(
        orders.begin(), orders.end(), [&](std::uint8_t p) { return p >= header.patternCount; }));
    if (missing != 0) {
        NoteDiscarded("STM orders naming no stored pattern (song end), kept as empty", missing);
    }
}

}  // namespace

int LoadStm(void* stream) {
    StreamReader reader(stream);
    const auto header = reader.Read<StmHeader>();
    std::memcpy(song.title.data(), header.name.data(), header.name.size());
    song.globalVolume = static_cast<std::uint8_t>(header.globalVolume * 2);

    std::array<std::uint16_t, sampleCount> dataParagraphs{};
    for (std::size_t slot = 0; slot < sampleCount; ++slot) {
        const auto source = reader.Read<StmSample>();
        std::uint8_t* block = NewNamedInstrument(slot, 1, source.fileName);
        if (block == nullptr) return ResultNoMemory;
        SampleHeader& sample = SampleOf(block, 0);
        sample.length = source.length;
        sample.loopStart = source.loopStart;
        sample.loopEnd = source.loopEnd;
        sample.c5Rate = source.c5Rate;
        sample.volume = source.volume;
        sample.flags = source.loopEnd == noLoop ? 0 : (loop | sampleMark);
        dataParagraphs[slot] = source.paragraph;
    }

    // Version 2.00 files hold 64 order entries, and their patterns follow directly.
    const bool shortOrders = header.versionMajor == 2 && header.versionMinor == 0;
    const std::size_t entries = shortOrders ? shortOrderEntries : orderEntries;
    const auto orders = std::span(orderList).first(entries);
    reader.Read(orders);
    const auto end = static_cast<std::size_t>(std::find(orders.begin(), orders.end(), orderEnd) -
                                              orders.begin());
    song.lastOrder = static_cast<std::uint8_t>(end - 1);
    NoteSongTimeLosses(header, orders.first(end));

    WorkBuffer pattern(patternSize);
    if (!pattern) return ResultNoMemory;
    const auto source = std::span<std::uint8_t, patternSize>(pattern.data(), patternSize);
    for (std::size_t number = 0; number < header.patternCount; ++number) {
        if (const int result = ConvertPattern(reader, number, source); result != ResultOk) {
            return result;
        }
    }

    for (std::size_t slot = 0; slot < sampleCount; ++slot) {
        SampleHeader& sample = SampleOf(instrumentTable[slot].block, 0);
        std::uint8_t*& data = instrumentTable[slot].sampleData[0];
        const int result = PrepareSampleAt(reader, std::uint64_t{dataParagraphs[slot]} * 16, sample,
                                           data, StoredEncoding(sample));
        if (result != ResultOk) return result;
    }

    std::fill_n(song.channelPan.begin(), channels, std::uint8_t{32});
    song.songFlags = amigaSlides | rowPacked;
    FinishSong(amigaPeriodLimits);
    return ResultOk;
}

}  // namespace tunepak
