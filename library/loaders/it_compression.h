// Compressed IT samples (the 2.14 scheme and its 2.15 variant): blocks of variable-width
// deltas, each block behind a 16-bit byte count, decoded to plain signed PCM.
#pragma once

#include <cstdint>
#include <span>

#include "loaders/loaders.h"
#include "model/model.h"

namespace tunepak {

// Frames that one compressed block decodes to at most: 32 KB of PCM.
constexpr std::uint32_t CompressedBlockFrames(std::uint32_t width) { return 0x8000 / width; }

// Decodes the bit stream of one block into `frames`, whole frames of `width` bytes (1: signed
// 8-bit, 2: signed 16-bit little-endian). Bits beyond the end of `bits` read as 0. A bit width
// that the scheme does not allow ends the block: the rest of `frames` is 0. `doubleDelta`
// selects the 2.15 variant, whose values are integrated twice instead of once.
void DecodeCompressedBlock(std::span<const std::uint8_t> bits, std::span<std::uint8_t> frames,
                           std::uint32_t width, bool doubleDelta);

// Reads the compressed data of a sample from `stream` (positioned at its first block) and hands
// the decoded frames to PrepareSample, for `header` as the loader filled it and the `encoding` of
// the decoded values. When the data ends
// before `length` frames are decoded, the sample ends with the frames decoded so far; nothing is
// allocated beyond what the blocks present can decode to. The stream position afterwards is
// unspecified. Returns PrepareSample's result, ResultNoSampleMemory when the frames would not fit
// one sample block, or ResultNoMemory when a work buffer cannot be allocated.
int PrepareCompressedSample(SampleHeader& header, std::uint8_t*& data, void* stream,
                            bool doubleDelta, SampleEncoding encoding = {});

}  // namespace tunepak
