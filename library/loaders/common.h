// Tables and steps that several loaders share.
#pragma once

#include <array>
#include <cstdint>

namespace tunepak {

// Sample C-5 rates by MOD-style finetune nibble (0..7 up, 8..15 meaning -8..-1).
inline constexpr std::array<std::uint32_t, 16> FinetuneRates = {
    8363, 8413, 8463, 8529, 8581, 8651, 8723, 8757,
    7895, 7941, 7985, 8046, 8107, 8169, 8232, 8280,
};

}  // namespace tunepak
