// Steps shared by the loaders of formats whose instruments are plain samples (669, FAR, ULT).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "model/model.h"

namespace tunepak {

// Sample flags bit 7: set by these loaders, stored and written as is.
inline constexpr std::uint8_t sampleMark = 0x80;

// Allocates instrument `slot` with one sample, named after the first bytes of `name` (as many as
// the record's name holds), and returns that sample's header; null when out of memory.
inline SampleHeader* NewSingleSampleInstrument(std::size_t slot,
                                               std::span<const std::uint8_t> name) {
    std::uint8_t* block = NewInstrument(slot, 1);
    if (block == nullptr) return nullptr;
    InstrumentRecord& record = RecordOf(block);
    std::copy_n(name.begin(), std::min(name.size(), record.name.size()), record.name.begin());
    return &SampleOf(block, 0);
}

// The last order of a list that 0xFF ends: the entry before the first 0xFF, or the list's last
// entry when none ends it. A list that starts with 0xFF gives 255 (0 - 1 in a byte).
inline std::uint8_t LastOrderBeforeEnd(std::span<const std::uint8_t> orders) {
    constexpr std::uint8_t endMarker = 0xFF;
    const auto end = std::find(orders.begin(), orders.end(), endMarker);
    return static_cast<std::uint8_t>(end - orders.begin() - 1);
}

}  // namespace tunepak
