// ModPlug's 4-bit ADPCM samples (8-bit only): a table of 16 signed deltas, then the frames two
// to a byte, low nibble first; each frame is the running sum, wrapping at 8 bits, of the deltas
// that its nibbles choose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "model/model.h"

namespace tunepak {

inline constexpr std::size_t adpcmTableBytes = 16;

// The bytes that `frames` frames are stored in, the table included.
constexpr std::uint64_t AdpcmStoredBytes(std::uint32_t frames) {
    return adpcmTableBytes + (std::uint64_t{frames} + 1) / 2;
}

// Decodes `stored` (the table, then the packed frames) into `frames`, signed 8-bit, and returns
// how many frames it wrote: all of `frames` or as many as the stored bytes hold, whichever is
// fewer; none when the table itself is incomplete.
std::size_t DecodeAdpcm(std::span<const std::uint8_t> stored, std::span<std::uint8_t> frames);

// Reads an ADPCM sample of `header.length` frames from `stream` (positioned at its table) and
// hands the decoded frames to PrepareSample as plain signed 8-bit mono data, whatever the
// header's source bits said, so that loops and tails are built as for any other sample. Data
// that ends early gives the frames present; the stream is left after the bytes read. Returns PrepareSample's result, or ResultNoMemory when a work
// buffer cannot be allocated.
int PrepareAdpcmSample(SampleHeader& header, std::uint8_t*& data, void* stream);

}  // namespace tunepak
