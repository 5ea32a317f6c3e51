// Little- and big-endian fields for on-disk records.
//
// Every record that lies in a file (and the model's instrument and sample records, which are
// written as they lie in memory) is built from these byte-array fields: they have alignment 1,
// so a struct of them has no padding and its size is its byte layout on every host.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tunepak {

// Reads an unsigned little-endian value of N bytes from the front of `bytes`.
template <std::size_t N>
constexpr std::uint32_t GetLe(std::span<const std::uint8_t, N> bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = N; i-- > 0;) value = (value << 8) | bytes[i];
    return value;
}

// Reads an unsigned big-endian value of N bytes from the front of `bytes`.
template <std::size_t N>
constexpr std::uint32_t GetBe(std::span<const std::uint8_t, N> bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < N; ++i) value = (value << 8) | bytes[i];
    return value;
}

constexpr std::uint16_t ReadLe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
constexpr std::uint32_t ReadLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
constexpr std::uint64_t ReadLe64(const std::uint8_t* p) {
    return std::uint64_t{ReadLe32(p)} | (std::uint64_t{ReadLe32(p + 4)} << 32);
}
constexpr void WriteLe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
constexpr void WriteLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// An unsigned little-endian field of N bytes (N = 2 or 4).
template <std::size_t N>
struct LeField {
    std::array<std::uint8_t, N> bytes{};

    using Value = std::conditional_t<N == 2, std::uint16_t, std::uint32_t>;
    constexpr operator Value() const {
        return static_cast<Value>(GetLe<N>(std::span<const std::uint8_t, N>(bytes)));
    }
    constexpr LeField& operator=(Value v) {
        for (std::size_t i = 0; i < N; ++i) bytes[i] = static_cast<std::uint8_t>(v >> (8 * i));
        return *this;
    }
};

// An unsigned big-endian 16-bit field (MOD sample headers).
struct Be16 {
    std::array<std::uint8_t, 2> bytes{};
    constexpr operator std::uint16_t() const {
        return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
    }
};

// A signed little-endian 16-bit field.
struct LeS16 {
    std::array<std::uint8_t, 2> bytes{};
    constexpr operator std::int16_t() const {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8)));
    }
    constexpr LeS16& operator=(std::int16_t v) {
        const auto u = static_cast<std::uint16_t>(v);
        bytes[0] = static_cast<std::uint8_t>(u);
        bytes[1] = static_cast<std::uint8_t>(u >> 8);
        return *this;
    }
};

using Le16 = LeField<2>;
using Le32 = LeField<4>;

static_assert(sizeof(Le16) == 2 && alignof(Le16) == 1);
static_assert(sizeof(Le32) == 4 && alignof(Le32) == 1);
static_assert(sizeof(Be16) == 2 && sizeof(LeS16) == 2);

}  // namespace tunepak
