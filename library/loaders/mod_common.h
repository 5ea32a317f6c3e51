// What the MOD and MTM loaders share: the MOD effect numbering, which passes into the internal
// command set unchanged, and the one-sample instrument that each source sample becomes.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "loaders/common.h"
#include "model/model.h"
#include "model/patterns.h"

namespace tunepak {

// Five octaves of MOD periods, the longest (lowest note) first: the notes that the loader reads
// and that the benchmarks' module maker writes.
inline constexpr std::array<std::uint16_t, 60> ModPeriods = {
    1712, 1616, 1525, 1440, 1357, 1281, 1209, 1141, 1077, 1017, 961, 907,
    856,  808,  762,  720,  678,  640,  604,  570,  538,  508,  480, 453,
    428,  404,  381,  360,  339,  320,  302,  285,  269,  254,  240, 226,
    214,  202,  190,  180,  170,  160,  151,  143,  135,  127,  120, 113,
    107,  101,  95,   90,   85,   80,   76,   71,   67,   64,   60,  57,
};

// Internal command of each MOD effect number; the parameter passes unchanged.
inline constexpr std::array<EffectCommand, 16> ModEffectCommands = {
    EffectArpeggio,           // 0 arpeggio
    EffectPortaUp,            // 1 portamento up
    EffectPortaDown,          // 2 portamento down
    EffectTonePorta,          // 3 tone portamento
    EffectVibrato,            // 4 vibrato
    EffectTonePortaVolSlide,  // 5 tone portamento + volume slide
    EffectVibratoVolSlide,    // 6 vibrato + volume slide
    EffectTremolo,            // 7 tremolo
    EffectSetPan,             // 8 set panning
    EffectSampleOffset,       // 9 sample offset
    EffectVolSlide,           // A volume slide
    EffectPositionJump,       // B position jump
    EffectSetVolume,          // C set volume
    EffectPatternBreak,       // D pattern break
    EffectExtended,           // E extended: the sub-command is the parameter's high nibble
    EffectSpeedTempo,         // F speed (up to 32) or tempo
};

// One cell of a MOD-style pattern: note byte (row-packed), instrument 0..63, effect 0..15 and
// parameter. There is no volume column. What the conversion changes is noted under `labels`.
inline Event ModCellEvent(int channel, std::uint8_t note, std::uint8_t instrument,
                          std::uint8_t effect, std::uint8_t parameter,
                          const ProtrackerEffectLabels& labels) {
    const Event event = {.channel = channel,
                         .command = ModEffectCommands[effect & 15],
                         .parameter = parameter,
                         .instrument = instrument,
                         .note = note};
    NoteChangedMeaning(event, labels);
    return event;
}

// A source sample in frames, as both formats describe it.
struct ModSample {
    std::span<const std::uint8_t, 22> name;
    std::uint32_t length = 0;
    std::uint32_t loopStart = 0;
    std::uint32_t loopEnd = 0;
    std::uint8_t finetune = 0;  // low nibble used
    std::uint8_t volume = 0;
    std::uint8_t flags = 0;     // source flags (16-bit); the loop bits are added here
};

// Loop bit plus bit 7, which the stored files of these formats carry on every looped sample.
inline constexpr std::uint8_t modLoopFlags = loop | sampleMark;
// A loop that ends at frame 2 or earlier is the formats' way of saying "no loop".
inline constexpr std::uint32_t modShortestLoopEnd = 3;

// Builds instrument `slot` around one sample header filled from `sample`; the frames are read
// later by PrepareSample. Returns the header, or null when the block cannot be allocated.
inline SampleHeader* NewModInstrument(std::size_t slot, const ModSample& sample) {
    SampleHeader* made = NewSampleInstrument(slot, sample.name);
    if (made == nullptr) return nullptr;
    SampleHeader& header = *made;
    header.length = sample.length;
    header.loopStart = sample.loopStart;
    header.loopEnd = sample.loopEnd;
    header.c5Rate = FinetuneRates[sample.finetune & 15];
    header.volume = sample.volume;
    header.flags = sample.flags;
    if (sample.loopEnd >= modShortestLoopEnd) header.flags |= modLoopFlags;
    return &header;
}

}  // namespace tunepak
