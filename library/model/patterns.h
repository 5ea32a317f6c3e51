// The two pattern encodings and the internal effect commands.
#pragma once

#include <algorithm>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "model/model.h"

namespace tunepak {

// Internal effect commands (row-packed command byte).
enum EffectCommand : std::uint8_t {
    EffectArpeggio = 0,
    EffectPortaUp = 1,
    EffectPortaDown = 2,
    EffectTonePorta = 3,
    EffectVibrato = 4,
    EffectTonePortaVolSlide = 5,
    EffectVibratoVolSlide = 6,
    EffectTremolo = 7,
    EffectSetPan = 8,
    EffectSampleOffset = 9,
    EffectVolSlide = 10,
    EffectPositionJump = 11,
    EffectSetVolume = 12,
    EffectPatternBreak = 13,
    EffectExtended = 14,
    EffectSpeedTempo = 15,
};

// Sub-commands of EffectExtended (the parameter's high nibble).
enum ExtendedCommand : std::uint8_t {
    ExtFinePortaUp = 1,
    ExtFinePortaDown = 2,
    ExtVibratoWave = 4,
    ExtFinetune = 5,
    ExtPatternLoop = 6,
    ExtTremoloWave = 7,
    ExtSetPan16 = 8,
    ExtRetrigger = 9,
    ExtFineVolUp = 10,
    ExtFineVolDown = 11,
    ExtNoteCut = 12,
    ExtNoteDelay = 13,
    ExtPatternDelay = 14,
};

// Row-packed note bytes.
inline constexpr std::uint8_t noNote = 0;
inline constexpr std::uint8_t keyOff = 128;
// The row-packed note byte of internal note n (0..119).
constexpr std::uint8_t NoteByte(int note) { return static_cast<std::uint8_t>(note + 1); }

// Row-packed flag byte bits.
inline constexpr std::uint8_t hasEffect = 0x80;
inline constexpr std::uint8_t hasNote = 0x40;
inline constexpr std::uint8_t hasVolume = 0x20;
inline constexpr int packedChannels = 32;  // five channel bits

// The bytes a row-packed pattern of `rows` rows may need at most: 32 events of 6 bytes and the
// closing 0 per row, behind the row-count byte.
constexpr std::size_t MaxPackedPatternSize(int rows) {
    return 1 + static_cast<std::size_t>(rows) * (packedChannels * 6 + 1);
}

// One source cell as a loader hands it to the emitter.
struct Event {
    int channel = 0;
    std::uint8_t command = 0;
    std::uint8_t parameter = 0;
    std::uint8_t instrument = 0;  // 1..128, 0 = none
    std::uint8_t note = noNote;   // row-packed note byte
    std::optional<std::uint8_t> volume;
};

// Builds one row-packed pattern in a block of the worst-case size, owned by its PatternTable
// slot from the start, and shrinks the block to its length at the end. Every loader emits its
// patterns through this one procedure; the highest channel that carries an event in any pattern
// of the load is kept for the loader's closing step.
class PatternEmitter {
public:
    // Allocates the block for pattern `number` with `rows` rows (1..256) into the table,
    // releasing what the slot held, and writes the row-count byte. False when out of memory.
    bool Begin(std::size_t number, int rows);
    // Appends an event of the current row; a cell with nothing to say, an event on a channel
    // beyond the 32 that the flag byte can name, and a 33rd event in one row (only damaged packed
    // rows have more cells than channels) write nothing. Returns whether an event was written.
    bool Add(const Event& event);
    // Closes the current row; rows beyond the count given to Begin are not written.
    void EndRow();
    // Shrinks the block to the bytes written.
    void Finish();

    std::size_t size() const { return used_; }

    // The highest channel that carried an event in the patterns emitted since ResetChannels (0
    // when none did). Loading and releasing a module reset it.
    static std::uint8_t HighestChannel() { return highestChannel_; }
    static void ResetChannels() { highestChannel_ = 0; }

private:
    // For an event that Add does not write on `channel`: notes what is lost when the event
    // carries something, and returns false.
    bool Refuse(int channel, bool carriesSomething) const;

    std::uint8_t* block_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t used_ = 0;
    std::size_t number_ = 0;
    int rowsLeft_ = 0;
    int row_ = 0;
    int eventsInRow_ = 0;
    static inline std::uint8_t highestChannel_ = 0;
};

// Whether an event has anything to say (the emitter writes nothing for it otherwise).
inline bool CarriesSomething(const Event& event) {
    return event.command != 0 || event.parameter != 0 || event.instrument != 0 ||
           event.note != noNote || event.volume.has_value();
}

// Inline: loaders call it for every cell, and their events are then never built in memory.
inline bool PatternEmitter::Add(const Event& event) {
    if (event.channel < 0 || event.channel >= packedChannels || rowsLeft_ == 0 ||
        eventsInRow_ == packedChannels) {
        return Refuse(event.channel, CarriesSomething(event));
    }
    std::uint8_t* out = block_ + used_;
    std::size_t length = 1;
    auto flag = static_cast<std::uint8_t>(event.channel);
    if (event.command != 0 || event.parameter != 0) {
        out[length++] = event.parameter;
        out[length++] = event.command;
        flag |= hasEffect;
    }
    if (event.instrument != 0 || event.note != noNote) {
        out[length++] = event.instrument;
        out[length++] = event.note;
        flag |= hasNote;
    }
    if (event.volume) {
        out[length++] = *event.volume;
        flag |= hasVolume;
    }
    if (length == 1) return false;
    out[0] = flag;
    used_ += length;
    ++eventsInRow_;
    highestChannel_ = std::max(highestChannel_, static_cast<std::uint8_t>(event.channel));
    return true;
}

// What a walk over a pattern block finds: its length and the instrument slots it names.
struct PatternWalk {
    std::size_t length = 0;
    std::bitset<128> usedInstruments;
};

// Walks a row-packed block (never past its end).
PatternWalk WalkRowPacked(std::span<const std::uint8_t> block);
// Walks an event-stream block up to and including its end marker (never past the block's end).
PatternWalk WalkEventStream(std::span<const std::uint8_t> block);

}  // namespace tunepak
