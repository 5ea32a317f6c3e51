// Pitch units and waveforms.

#include <algorithm>
#include <array>
#include <cmath>

#include "player/engine.h"

namespace tunepak {
namespace {

constexpr double amigaClock = 57269824.0;  // Hz x pitch units
constexpr std::int32_t c5Period = 6848;
constexpr std::int32_t lowNotePeriod = 65280;  // notes below 21 are held here

// Amiga periods of the 120 notes for an 8363 Hz sample, each semitone a factor 2^(1/12).
const std::array<std::int32_t, 120>& PeriodTable() {
    static const std::array<std::int32_t, 120> table = [] {
        std::array<std::int32_t, 120> periods{};
        for (int n = 0; n < 120; ++n) {
            periods[static_cast<std::size_t>(n)] =
                n < 21 ? lowNotePeriod
                       : static_cast<std::int32_t>(
                             std::lround(c5Period * std::exp2((60 - n) / 12.0)));
        }
        return periods;
    }();
    return table;
}

constexpr std::array<std::int16_t, 64> sine = {
    0,    24,   49,   74,   97,   120,  141,  161,  180,  197,  212,  224,  235,
    244,  250,  253,  255,  253,  250,  244,  235,  224,  212,  197,  180,  161,
    141,  120,  97,   74,   49,   24,   0,    -24,  -49,  -74,  -97,  -120, -141,
    -161, -180, -197, -212, -224, -235, -244, -250, -253, -255, -253, -250, -244,
    -235, -224, -212, -197, -180, -161, -141, -120, -97,  -74,  -49,  -24};

}  // namespace

std::int32_t NotePitch(int note, std::uint32_t rate, bool amiga) {
    note = std::clamp(note, 0, 119);
    if (!amiga) return (120 - note) * 256;
    if (rate == 0) rate = 8363;
    const std::int64_t pitch =
        std::int64_t{PeriodTable()[static_cast<std::size_t>(note)]} * 8363 / rate;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(pitch, 1, 65535));
}

double PitchFrequency(std::int32_t pitch, std::uint32_t rate, bool amiga) {
    if (amiga) return amigaClock / std::max(pitch, 1);
    return rate * std::exp2((15360 - pitch) / 3072.0);
}

int Waveform(int wave, int position) {
    position &= 63;
    switch (wave & 3) {
    case 1:
        return position < 32 ? 255 - 8 * position : -8 * (position - 32);
    case 2:
        return position < 32 ? 255 : -255;
    default:
        return sine[static_cast<std::size_t>(position)];
    }
}

}  // namespace tunepak
