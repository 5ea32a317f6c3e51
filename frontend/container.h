// The packed module container: a 24-byte "MUSE" header and the AM image compressed with zlib.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "io/services.h"

namespace tunepak {

inline constexpr std::size_t containerHeaderSize = 24;

// A packed image ready to be written: the header, then the compressed bytes.
struct PackedModule {
    std::array<std::uint8_t, containerHeaderSize> header{};
    WorkBuffer compressed;     // capacity S x 104 / 100 + 256
    std::size_t compressedLength = 0;

    std::size_t FileSize() const { return containerHeaderSize + compressedLength; }
};

// The compressed buffer's capacity for an image of `imageSize` bytes.
constexpr std::size_t CompressedCapacity(std::size_t imageSize) {
    return imageSize * 104 / 100 + 256;
}

// Compresses the image at zlib level 9 and builds the header. False when a buffer cannot be
// allocated or zlib fails.
bool PackModule(std::span<const std::uint8_t> image, PackedModule& packed);

}  // namespace tunepak
