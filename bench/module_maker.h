// Modules of every source format, generated for the benchmarks: patterns full of notes, volumes
// and effects, and samples of a tone with some noise in each format's own storage (signed,
// unsigned, delta-coded or IT-compressed, 8 or 16 bits).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "loaders/formats.h"

namespace tunepak::bench {

using Bytes = std::vector<std::uint8_t>;

enum class Format { mod, s3m, xm, it, itCompressed, mtm, s669, stm, far, ult, ptm, am };

inline constexpr std::array<Format, 12> allFormats = {
    Format::mod,  Format::s3m, Format::xm,  Format::it,  Format::itCompressed, Format::mtm,
    Format::s669, Format::stm, Format::far, Format::ult, Format::ptm,          Format::am,
};

// The source format a module of `format` is, from the format registry, and its name (the
// format's own, or "IT compressed").
const SourceFormat& SourceOf(Format format);
std::string_view FormatName(Format format);

// The size of a generated module. Each format keeps within its own limits (channels, samples,
// sample lengths), so the same shape gives modules of somewhat different sizes.
struct Shape {
    int patterns = 24;
    int channels = 8;
    int samples = 12;
    std::uint32_t frames = 48000;  // per sample
};

// The bytes of a module of `format`. The AM module is what the writer makes of the XM module.
Bytes MakeModule(Format format, const Shape& shape = {});

// How many patterns and samples with frames a module of `format` and `shape` loads with, so that
// the benchmarks can tell a module that loads short.
struct Expected {
    int patterns = 0;
    int samples = 0;
};
Expected ExpectedContents(Format format, const Shape& shape = {});

// `count` frames of a tone with noise, signed, `width` bytes each (16-bit little-endian).
Bytes SampleFrames(std::uint32_t count, std::uint32_t width, std::uint32_t seed);

// The frames compressed as IT samples are: blocks of up to 0x8000 bytes of frames, each behind
// its 16-bit byte count, with the bit width changing to fit the deltas. `doubleDelta` makes the
// 2.15 variant, whose values are the deltas of the deltas.
Bytes CompressItSample(std::span<const std::uint8_t> frames, std::uint32_t width, bool doubleDelta);

}  // namespace tunepak::bench
