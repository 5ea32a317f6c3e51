// PTM modules: delta-coded samples and packed patterns at paragraphs the header lists, with
// one byte of slide memory per channel.

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

constexpr std::size_t patternSlots = 128;

struct PtmHeader {
    std::array<std::uint8_t, 28> name;
    std::uint8_t endOfText;
    Le16 version;
    std::uint8_t reserved;
    Le16 orderCount;
    Le16 sampleCount;
    Le16 patternCount;
    Le16 channelCount;
    Le16 flags;
    Le16 reserved2;
    std::array<std::uint8_t, 4> signature;
    std::array<std::uint8_t, 16> reserved3;
    std::array<std::uint8_t, 32> channelPans;
    std::array<std::uint8_t, 256> orders;
    std::array<Le16, patternSlots> patternParagraphs;
};
static_assert(sizeof(PtmHeader) == 608);

struct PtmSample {
    std::uint8_t type;
    std::array<std::uint8_t, 12> fileName;
    std::uint8_t volume;
    Le16 c5Rate;
    Le16 reserved;
    Le32 dataOffset;
    Le32 length;  // bytes, as are the loop points
    Le32 loopStart;
    Le32 loopEnd;
    std::array<std::uint8_t, 14> reserved2;
    std::array<std::uint8_t, 28> name;
    std::array<std::uint8_t, 4> signature;
};
static_assert(sizeof(PtmSample) == 80);

constexpr std::uint16_t supportedVersion = 0x0203;
constexpr std::size_t maxSamples = 128;
constexpr std::size_t panChannels = 32;
constexpr std::uint8_t typeSampled = 0x01;
constexpr std::uint8_t typeLoop = 0x04;
constexpr std::uint8_t typePingPong = 0x08;
constexpr std::uint8_t typeSixteenBit = 0x10;
constexpr std::uint8_t keyOffByte = 254;
constexpr std::uint8_t highestNoteByte = 96;

// How a command's parameter becomes the internal one.
enum class Rule : std::uint8_t {
    same,         // the same command with the parameter as it is
    slideUp,      // slide memory, fine and extra-fine slides split off
    slideDown,    // slide memory, fine and extra-fine slides split off
    volumeSlide,  // slide memory, fine slides split off
    extended,     // the sub-commands, fine slides 1 and 2 trading places
};

constexpr std::array<Rule, 16> commandRules = {{
    Rule::same,         // 0: arpeggio
    Rule::slideDown,    // 1: portamento, to EffectPortaDown and its fine forms
    Rule::slideUp,      // 2: portamento, to EffectPortaUp and its fine forms
    Rule::same,         // 3: tone portamento
    Rule::same,         // 4: vibrato
    Rule::same,         // 5: tone portamento and volume slide
    Rule::same,         // 6: vibrato and volume slide
    Rule::same,         // 7: tremolo
    Rule::same,         // 8: set pan
    Rule::same,         // 9: sample offset
    Rule::volumeSlide,  // 10: volume slide
    Rule::same,         // 11: position jump
    Rule::same,         // 12: set volume
    Rule::same,         // 13: pattern break
    Rule::extended,     // 14: extended; E1x and E2x trade places, the rest as they are
    Rule::same,         // 15: speed and tempo
}};

// PolyTracker reads F as ProTracker does.
constexpr ProtrackerEffectLabels ptmLabels = {.tempo32 = "PTM F20 (tempo 32), kept as speed 32"};

constexpr const char* roundedSlide = "PTM 1/2 extra-fine slides, rounded to fine ones";

Effect TranslateEffect(std::uint8_t command, std::uint8_t parameter, std::uint8_t& memory) {
    if (command >= commandRules.size()) {
        NoteDroppedEffect("PTM effects beyond F");
        return {};
    }
    switch (commandRules[command]) {
        case Rule::same: return {command, parameter};
        case Rule::slideUp:
            return scream::PitchSlide(scream::Recall(memory, parameter), EffectPortaUp,
                                      ExtFinePortaUp, roundedSlide);
        case Rule::slideDown:
            return scream::PitchSlide(scream::Recall(memory, parameter), EffectPortaDown,
                                      ExtFinePortaDown, roundedSlide);
        case Rule::volumeSlide: return scream::VolumeSlide(scream::Recall(memory, parameter));
        case Rule::extended: {
            const int subCommand = parameter >> 4;
            if (subCommand == 1) return scream::Extended(ExtFinePortaDown, parameter);
            if (subCommand == 2) return scream::Extended(ExtFinePortaUp, parameter);
            return {command, parameter};
        }
    }
    return {};
}

Event ConvertCell(const scream::PackedCell& cell,
                  std::array<std::uint8_t, scream::channelMemories>& memories) {
    Event event{.channel = cell.channel()};
    bool keyedOff = false;
    if (cell.has(0)) {
        const std::uint8_t note = cell.parts[0][0];
        if (note == keyOffByte) {
            keyedOff = true;
            event.note = keyOff;
        } else if (note != 0 && note <= highestNoteByte) {
            event.note = static_cast<std::uint8_t>(note + 12);
        } else if (note > highestNoteByte && note < keyOffByte) {
            NoteOutOfRange("PTM note values 97 to 253");
        }
        event.instrument = cell.parts[0][1];
    }
    if (cell.has(1)) {
        const Effect effect = TranslateEffect(cell.parts[1][0], cell.parts[1][1],
                                              memories[static_cast<std::size_t>(cell.channel())]);
        event.command = effect.command;
        event.parameter = effect.parameter;
        NoteChangedMeaning(event, ptmLabels);
    }
    if (cell.has(2)) {
        event.volume = std::min<std::uint8_t>(cell.parts[2][0], 64);
        if (cell.parts[2][0] > 64) NoteChangedParameter("PTM volumes above 64, limited");
    }
    if (keyedOff) event.volume = 0;  // a key off always silences
    return event;
}

int ConvertPattern(StreamReader& reader, std::size_t number,
                   const std::array<std::uint32_t, patternSlots + 1>& paragraphs,
                   std::span<std::uint8_t> packed,
                   std::array<std::uint8_t, scream::channelMemories>& memories) {
    const std::uint32_t first = paragraphs[number];
    const std::uint32_t next = paragraphs[number + 1];
    const std::size_t length =
        next > first ? std::min<std::size_t>(std::size_t{next - first} * 16, packed.size()) : 0;
    const std::size_t got = reader.ReadAt(std::uint64_t{first} * 16, packed.first(length));
    const auto convert = [&](int, const scream::PackedCell& cell) -> std::optional<Event> {
        return ConvertCell(cell, memories);
    };
    return scream::EmitPackedPattern(number, packed.first(got), {2, 2, 1}, convert);
}

}  // namespace

int LoadPtm(void* stream) {
    WorkBuffer packed(scream::maxPackedSource);
    if (!packed) return ResultNoMemory;
    StreamReader reader(stream);
    const auto head = reader.Read<PtmHeader>();
    if (head.version != supportedVersion) return ResultBadFile;

    std::memcpy(song.title.data(), head.name.data(), head.name.size());
    song.lastOrder = static_cast<std::uint8_t>(head.orderCount - 1);
    std::copy(head.orders.begin(), head.orders.end(), orderList.begin());
    const std::size_t channels = std::min<std::size_t>(head.channelCount, panChannels);
    for (std::size_t i = 0; i < channels; ++i) {
        song.channelPan[i] = static_cast<std::uint8_t>(head.channelPans[i] * 4 + 2);
    }

    // Pattern p runs up to where pattern p + 1 starts; the last one up to the first sample's
    // data, which ends the table.
    std::array<std::uint32_t, patternSlots + 1> paragraphs{};
    std::copy(head.patternParagraphs.begin(), head.patternParagraphs.end(), paragraphs.begin());
    const std::size_t patternCount = head.patternCount;
    bool endKnown = false;

    const std::size_t samples = std::min<std::size_t>(head.sampleCount, maxSamples);
    if (head.sampleCount > samples) {
        NoteBeyondLimit("PTM samples beyond 128",
                        static_cast<std::uint32_t>(head.sampleCount - samples));
    }
    for (std::size_t slot = 0; slot < samples; ++slot) {
        const auto source = reader.ReadAt<PtmSample>(sizeof(PtmHeader) + slot * sizeof(PtmSample));
        const bool sampled = (source.type & typeSampled) != 0;
        std::uint8_t* block = NewNamedInstrument(slot, sampled ? 1 : 0, source.name);
        if (block == nullptr) return ResultNoMemory;
        if (!sampled) continue;

        SampleHeader& sample = SampleOf(block, 0);
        CopyName(sample.name, source.name);
        sample.volume = source.volume;
        sample.c5Rate = source.c5Rate;
        sample.flags = sampleMark;
        if (source.type & typeSixteenBit) sample.flags |= sixteenBit;
        if (source.type & typeLoop) sample.flags |= loop;
        if (source.type & typePingPong) sample.flags |= pingPong;
        const std::uint32_t width = SampleWidth(sample);
        sample.length = source.length / width;
        sample.loopStart = source.loopStart / width;
        sample.loopEnd = source.loopEnd / width;

        if (!endKnown) {
            endKnown = true;
            if (patternCount <= patternSlots) paragraphs[patternCount] = source.dataOffset / 16;
        }
        const int result = PrepareSampleAt(reader, source.dataOffset, sample,
                                           instrumentTable[slot].sampleData[0], {.delta = true});
        if (result != ResultOk) return result;
    }

    std::array<std::uint8_t, scream::channelMemories> memories{};
    const std::size_t reachable = std::min(patternCount, patternSlots);
    const int result = scream::ForEachOrderedPattern(reachable, [&](std::size_t number) {
        return ConvertPattern(reader, number, paragraphs, packed.span(), memories);
    });
    if (result != ResultOk) return result;

    song.songFlags = amigaSlides | rowPacked;
    FinishSong(amigaPeriodLimits);
    return ResultOk;
}

}  // namespace tunepak
