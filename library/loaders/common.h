// Tables and steps that several loaders share.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "model/conversion_record.h"
#include "model/model.h"
#include "model/patterns.h"

namespace tunepak {

// Sample C-5 rates by MOD-style finetune nibble (0..7 up, 8..15 meaning -8..-1).
inline constexpr std::array<std::uint32_t, 16> FinetuneRates = {
    8363, 8413, 8463, 8529, 8581, 8651, 8723, 8757,
    7895, 7941, 7985, 8046, 8107, 8169, 8232, 8280,
};

// The lowest and highest pitch that slides reach.
struct PeriodLimits {
    std::uint16_t min;
    std::uint16_t max;
};
inline constexpr PeriodLimits amigaPeriodLimits = {amigaMinPeriod, amigaMaxPeriod};
inline constexpr PeriodLimits linearPeriodLimits = {linearMinPeriod, linearMaxPeriod};

// The last step of every loader that converts patterns, taken once they all are: the slide
// limits, and the channel count, the highest channel that carried an event plus one (1 when
// none did). Until then channelCount stays 0, so that a load that fails half-way never looks
// like a loaded module.
inline void FinishSong(PeriodLimits limits) {
    song.minPeriod = limits.min;
    song.maxPeriod = limits.max;
    song.channelCount = static_cast<std::uint8_t>(PatternEmitter::HighestChannel() + 1);
}

// The song settings of the MOD-like formats, taken last: Amiga slides, row-packed patterns,
// speed 6, tempo 125 and the classic period range.
inline void FinishAmigaSong() {
    song.songFlags = amigaSlides | rowPacked;
    song.initialSpeed = 6;
    song.initialTempo = 125;
    FinishSong(amigaPeriodLimits);
}

// An effect value where the tracker recalls the channel's last non-zero value for a zero, which
// the converted command does not: a non-zero value is remembered in `remembered`; a zero while
// it holds something is noted under `label`.
inline void RememberOrNoteRecalledZero(std::uint8_t value, std::uint8_t& remembered,
                                       const char* label) {
    if (value != 0) {
        remembered = value;
    } else if (remembered != 0) {
        NoteChangedParameter(label);
    }
}

// The conversion record's labels of the ProTracker-style effects (MOD, MTM, PTM, XM) that keep
// their bytes but not their meaning; a format without a label does not note that effect.
struct ProtrackerEffectLabels {
    const char* tempo32 = nullptr;      // F20: tempo 32 to the tracker, speed 32 once converted
    const char* glissando = nullptr;    // E3x, x > 0: semitone steps, which nothing here plays
    const char* vibratoRamp = nullptr;  // E41 (or E45): a ramp running the other way
    const char* waveform3 = nullptr;    // E43, E73 (or E47, E77): a square, kept as a sine
    const char* finetune = nullptr;     // E5x: another finetune scale
    const char* invertLoop = nullptr;   // EFx, x > 0: a loop that plays its data inverted
};

// Notes what the translated `event` of a ProTracker-style effect plays otherwise than its source.
inline void NoteChangedMeaning(const Event& event, const ProtrackerEffectLabels& labels) {
    const auto note = [](void (*record)(const char*), const char* label) {
        if (label != nullptr) record(label);
    };
    // The trackers whose speed-or-tempo command sets a tempo from 20h up play 20h as tempo 32.
    if (event.command == EffectSpeedTempo && event.parameter == 0x20) {
        note(NoteChangedParameter, labels.tempo32);
    }
    if (event.command != EffectExtended) return;
    const int value = event.parameter & 0x0F;
    switch (event.parameter >> 4) {
        case 0x3:
            if (value != 0) note(NoteDroppedEffect, labels.glissando);
            break;
        case 0x4:
            if ((value & 3) == 1) note(NoteChangedParameter, labels.vibratoRamp);
            [[fallthrough]];
        case 0x7:
            if ((value & 3) == 3) note(NoteChangedParameter, labels.waveform3);
            break;
        case 0x5: note(NoteChangedParameter, labels.finetune); break;
        case 0xF:
            if (value != 0) note(NoteDroppedEffect, labels.invertLoop);
            break;
        default: break;
    }
}

// Emits pattern `number` stored as a grid of `rows` x `channels` cells, `cellEvent(row, channel)`
// giving each cell's event. False when out of memory.
template <class CellEvent>
bool EmitGridPattern(std::size_t number, int rows, int channels, CellEvent cellEvent) {
    PatternEmitter emitter;
    if (!emitter.Begin(number, rows)) return false;
    for (int row = 0; row < rows; ++row) {
        for (int channel = 0; channel < channels; ++channel) emitter.Add(cellEvent(row, channel));
        emitter.EndRow();
    }
    emitter.Finish();
    return true;
}

// Copies the first `count` bytes of a source name (at most the field's width) into a name field
// of the model, whose other bytes become zero.
template <class To, std::size_t N, class From>
void CopyName(std::array<To, N>& to, const From& from, std::size_t count = N) {
    static_assert(sizeof(To) == 1 && sizeof(*std::data(from)) == 1);
    to.fill(0);
    std::memcpy(to.data(), std::data(from), std::min({count, N, std::size(from)}));
}

// Allocates instrument `slot` with `sampleCount` sample headers and gives it the source's name;
// null when out of memory.
template <class Name>
std::uint8_t* NewNamedInstrument(std::size_t slot, std::uint8_t sampleCount, const Name& name) {
    std::uint8_t* block = NewInstrument(slot, sampleCount);
    if (block != nullptr) CopyName(RecordOf(block).name, name);
    return block;
}

// An instrument of one sample, for formats whose instruments are plain samples: returns the
// sample's header, or null when out of memory.
template <class Name>
SampleHeader* NewSampleInstrument(std::size_t slot, const Name& name) {
    std::uint8_t* block = NewNamedInstrument(slot, 1, name);
    return block != nullptr ? &SampleOf(block, 0) : nullptr;
}

}  // namespace tunepak
