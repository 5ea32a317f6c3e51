// Steps shared by the loaders of formats whose instruments are plain samples (669, FAR, ULT).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "loaders/common.h"
#include "model/conversion_record.h"
#include "model/model.h"
#include "model/patterns.h"

namespace tunepak {

// The last order of a list that 0xFF ends: the entry before the first 0xFF, or the list's last
// entry when none ends it. A list that starts with 0xFF gives 255 (0 - 1 in a byte).
inline std::uint8_t LastOrderBeforeEnd(std::span<const std::uint8_t> orders) {
    constexpr std::uint8_t endMarker = 0xFF;
    const auto end = std::find(orders.begin(), orders.end(), endMarker);
    return static_cast<std::uint8_t>(end - orders.begin() - 1);
}

// Emits a pattern stored as a grid of cells, as the grid emitter does, for the formats that keep
// a pattern's speed or tempo beside the pattern: it becomes the first cell's command.
template <class CellEvent>
bool EmitGridPattern(std::size_t number, int rows, int channels, std::uint8_t speed,
                     CellEvent cellEvent) {
    return EmitGridPattern(number, rows, channels, [&](int row, int channel) {
        Event event = cellEvent(row, channel);
        if (row == 0 && channel == 0) {
            if (event.command != 0 || event.parameter != 0) {
                NoteDroppedEffect("effects in a pattern's first cell, taken by its speed");
            }
            event.command = EffectSpeedTempo;
            event.parameter = speed;
        }
        return event;
    });
}

}  // namespace tunepak
