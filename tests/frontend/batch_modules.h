// Modules for the batch tests: MODs of chosen sizes whose images compress with some effort.
#pragma once

#include <cstddef>
#include <cstdint>

#include "test_support.h"

namespace tunepak::test {

// A 4-channel MOD whose one pattern plays each of its `samples` samples of `bytes` bytes (even, at
// most 131070), their frames a noisy tone drawn from `seed`: an image of about samples x bytes
// that takes level-9 compression some effort.
inline Bytes ModModule(int samples, std::size_t bytes, std::uint32_t seed) {
    ByteWriter file;
    file.Text("batch test", 20);
    for (int s = 0; s < 31; ++s) {
        file.Text("", 22).U16Be(s < samples ? static_cast<unsigned>(bytes / 2) : 0);
        file.U8(0).U8(64).U16Be(0).U16Be(1);
    }
    file.U8(1).U8(127).Fill(128).Text("M.K.", 4);
    for (int row = 0; row < 64; ++row) {
        for (int channel = 0; channel < 4; ++channel) {
            const auto sample = static_cast<unsigned>(row + 1);
            if (channel == 0 && row < samples) {
                file.U8((sample & 0xF0) | 1).U8(428 & 0xFF).U8((sample & 0x0F) << 4).U8(0);
            } else {
                file.Fill(4);
            }
        }
    }
    std::uint32_t noise = seed;
    for (std::size_t i = 0; i < static_cast<std::size_t>(samples) * bytes; ++i) {
        noise = noise * 1103515245u + 12345u;
        file.U8(static_cast<unsigned>((i % 64) * 3 + (noise >> 27)));
    }
    return file.bytes();
}

}  // namespace tunepak::test
