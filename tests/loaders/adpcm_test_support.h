// A small ModPlug 4-bit ADPCM encoder for building test samples.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "test_support.h"

namespace tunepak::test {

// A table that reaches any step of -8..7 between frames.
inline constexpr std::array<std::int8_t, 16> smallSteps = {0,  1,  2,  3,  4,  5,  6,  7,
                                                          -8, -7, -6, -5, -4, -3, -2, -1};

struct AdpcmEncoding {
    Bytes stored;   // the table, then the frames two to a byte, low nibble first
    Bytes decoded;  // what the stored bytes decode to: the frames as near as the table allows
};

// Encodes `frames` (signed 8-bit) frame by frame, each with the delta that brings the running sum
// nearest to it.
inline AdpcmEncoding EncodeAdpcm(std::span<const std::uint8_t> frames,
                                 std::span<const std::int8_t, 16> table = smallSteps) {
    AdpcmEncoding out;
    for (const std::int8_t delta : table) out.stored.push_back(static_cast<std::uint8_t>(delta));
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const int target = static_cast<std::int8_t>(frames[i]);
        unsigned best = 0;
        int bestDistance = 1 << 16;
        for (unsigned nibble = 0; nibble < 16; ++nibble) {
            const auto next = static_cast<std::int8_t>(sum + table[nibble]);
            if (std::abs(next - target) < bestDistance) {
                bestDistance = std::abs(next - target);
                best = nibble;
            }
        }
        sum = static_cast<std::uint8_t>(sum + table[best]);
        out.decoded.push_back(sum);
        if (i % 2 == 0) {
            out.stored.push_back(static_cast<std::uint8_t>(best));
        } else {
            out.stored.back() = static_cast<std::uint8_t>(out.stored.back() | (best << 4));
        }
    }
    return out;
}

}  // namespace tunepak::test
