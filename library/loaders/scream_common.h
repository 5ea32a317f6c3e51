// Steps that the S3M, STM and PTM loaders share: positions given relative to the module start,
// one-sample instruments, packed rows of flagged cells, the patterns an order list reaches, and
// the effect translations whose memories these formats resolve at conversion time; IT shares the
// letter effects with S3M.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "loaders/common.h"
#include "model/model.h"
#include "model/patterns.h"

namespace tunepak::scream {

// The packed source pattern (S3M, PTM) never needs more than 64 rows of 32 six-byte cells and a
// closing byte each.
inline constexpr std::size_t maxPackedSource = 64 * (32 * 6 + 1);
static_assert(maxPackedSource == 12352);

inline constexpr int patternRows = 64;
inline constexpr int channelMemories = 32;

// One cell of a packed row: a flag byte (bits 0-4 the channel) and up to three parts, present
// when flag bits 5, 6 and 7 are set and stored in that order. Only the widths of the parts
// differ between formats.
struct PackedCell {
    std::uint8_t flag = 0;
    std::array<std::array<std::uint8_t, 2>, 3> parts{};

    int channel() const { return flag & 0x1F; }
    bool has(int part) const { return (flag & (0x20 << part)) != 0; }
};

// Reads packed cells from the bytes of one pattern. A cell is returned only when all its bytes
// lie within the data: the first incomplete cell ends the pattern, and every later row is empty.
class PackedRows {
public:
    PackedRows(std::span<const std::uint8_t> data, std::array<std::uint8_t, 3> partWidths)
        : data_(data), widths_(partWidths) {}

    // The next cell of the current row, or false at the row's end (its 0 byte is consumed) and
    // once the data has run out.
    bool Next(PackedCell& cell);

private:
    std::span<const std::uint8_t> data_;
    std::array<std::uint8_t, 3> widths_;
    std::size_t position_ = 0;
};

// Emits pattern `number`, 64 rows, from its packed bytes: each cell as `cellEvent(row, cell)`
// turns it into an event, or into nothing; `rowDone()` runs after each row's last cell, while
// whatever it notes is still placed at that row.
template <class CellEvent, class RowDone = void (*)()>
int EmitPackedPattern(std::size_t number, std::span<const std::uint8_t> packed,
                       std::array<std::uint8_t, 3> partWidths, CellEvent cellEvent,
                       RowDone rowDone = [] {}) {
    PatternEmitter emitter;
    if (!emitter.Begin(number, patternRows)) return ResultNoPatternMemory;
    PackedRows rows(packed, partWidths);
    for (int row = 0; row < patternRows; ++row) {
        for (PackedCell cell; rows.Next(cell);) {
            if (const std::optional<Event> event = cellEvent(row, cell)) emitter.Add(*event);
        }
        rowDone();
        emitter.EndRow();
    }
    emitter.Finish();
    return ResultOk;
}

// Runs `convert(p)` once for every pattern number p that order positions 0..lastOrder reach,
// in the order of first appearance. The markers 254 and 255 and numbers at or beyond
// `patternCount` name no pattern. Stops at the first nonzero result and returns it.
template <class Convert>
int ForEachOrderedPattern(std::size_t patternCount, Convert convert) {
    std::bitset<256> done;
    for (std::size_t position = 0; position <= song.lastOrder; ++position) {
        const std::uint8_t number = orderList[position];
        if (number >= 254 || number >= patternCount || done[number]) continue;
        done[number] = true;
        if (const int result = convert(number); result != ResultOk) return result;
    }
    return ResultOk;
}

// A translated effect; command 0 with parameter 0 writes nothing.
struct Effect {
    std::uint8_t command = 0;
    std::uint8_t parameter = 0;
};

inline constexpr Effect Extended(int subCommand, int value) {
    return {EffectExtended, static_cast<std::uint8_t>((subCommand << 4) | (value & 0x0F))};
}

// A parameter of 0 repeats the remembered one; the parameter used is remembered.
inline std::uint8_t Recall(std::uint8_t& memory, std::uint8_t parameter) {
    if (parameter == 0) parameter = memory;
    memory = parameter;
    return parameter;
}

// Volume slide: x and y nibbles, with xF (x > 0) a fine slide up and Fy (y 1..14) a fine slide
// down.
Effect VolumeSlide(std::uint8_t parameter);

// Pitch slide in one direction: Fy a fine slide by y, Ey an extra-fine one (y / 4, rounded),
// anything lower a slide every later tick. An extra-fine slide that the rounding changes is
// noted under `rounded`.
Effect PitchSlide(std::uint8_t parameter, EffectCommand coarse, ExtendedCommand fine,
                  const char* rounded);

// The two formats that write effects as letters A..Z with one info byte: S3M and IT read the
// letters alike but for a few rows of one shared table.
enum class LetterFormat : std::uint8_t { s3m, it };

// Translates effect letter `letter` (1 for A up to 26 for Z; 0 and anything beyond Z write
// nothing) with info byte `info`. A letter whose zero info byte repeats the remembered one
// takes it from `memory` and leaves its own there. Losses are noted under the format's name.
Effect TranslateLetter(LetterFormat format, std::uint8_t letter, std::uint8_t info,
                       std::uint8_t& memory);

// Whether a zero info byte of `letter` repeats the channel's remembered one in `format`.
bool RecallsInfo(LetterFormat format, std::uint8_t letter);

// The pattern delays of one converted row. The player repeats the row as often as the last delay
// event of the row says; Scream Tracker 3 and Impulse Tracker take the first non-zero delay in
// channel order. A row on which the two differ is noted under the format's label.
class RowDelayCheck {
public:
    void Add(const Event& event) {
        if (event.command != EffectExtended || (event.parameter >> 4) != ExtPatternDelay) return;
        last_ = event.parameter & 0x0F;
        if (last_ != 0 && event.channel < firstChannel_) {
            firstChannel_ = event.channel;
            first_ = last_;
        }
    }
    // Call before the emitter closes the row, so that the note is placed on it.
    void EndRow(const char* label) {
        if (first_ != last_) NoteChangedParameter(label);
        *this = RowDelayCheck{};
    }

private:
    int firstChannel_ = packedChannels;
    int first_ = 0;
    int last_ = 0;
};

}  // namespace tunepak::scream
