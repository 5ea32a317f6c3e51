// Effect translation cases for the loader tests: a source effect and its info byte with the
// internal command and parameter it becomes, and the letter effects that S3M and IT share.
#pragma once

#include <cstdint>
#include <vector>

#include "test_support.h"

namespace tunepak::test {

// One effect of a source cell and what it converts to; command noEffect: nothing.
struct EffectCase {
    std::uint8_t effect, info, command, parameter;
};
inline constexpr std::uint8_t noEffect = 0xFF;

// The letters (as characters) and info bytes that S3M and IT share, with what S3M makes of them
// (one translation table serves both loaders).
inline std::vector<EffectCase> LetterEffectCases() {
    constexpr std::uint8_t none = noEffect;
    return {
        {'D', 0x0F, 10, 0x0F}, {'D', 0xF0, 10, 0xF0}, {'D', 0xFF, 14, 0xAF}, {'D', 0xF1, 14, 0xB1},
        {'D', 0x23, 10, 0x03}, {'E', 0xF3, 14, 0x23}, {'E', 0xE8, 14, 0x22}, {'E', 0x05, 2, 0x05},
        {'F', 0xF3, 14, 0x13}, {'F', 0xE8, 14, 0x12}, {'F', 0x05, 1, 0x05}, {'A', 0x06, 15, 0x06},
        {'A', 0x40, 15, 0x20}, {'T', 0x10, none, 0}, {'T', 0x7D, 15, 0x7D}, {'T', 0x20, 15, 0x20},
        {'U', 0x84, 4, 0x81},  {'S', 0x91, 8, 0xA4},  {'S', 0xB2, 14, 0x62}, {'S', 0x23, none, 0},
        {'S', 0x13, 14, 0x33}, {'S', 0x37, 14, 0x47}, {'S', 0x8A, 14, 0x8A}, {'S', 0xD2, 14, 0xD2},
        {'Q', 0x35, 14, 0x95}, {'J', 0x00, none, 0},  {'J', 0x37, 0, 0x37},  {'I', 0x12, none, 0},
        {'G', 0x20, 3, 0x20},  {'H', 0x48, 4, 0x48},  {'O', 0x10, 9, 0x10},  {'X', 0x40, 8, 0x40},
        {'R', 0x22, 7, 0x22},  {'B', 0x02, 11, 0x02}, {'C', 0x10, 13, 0x10}, {'V', 0x20, none, 0},
    };
}

// The row a case converts to: one event on channel 0 with only an effect part, or nothing.
inline Bytes ExpectedRow(const EffectCase& c) {
    return c.command == noEffect ? Bytes{} : Bytes{0x80, c.parameter, c.command};
}

}  // namespace tunepak::test
