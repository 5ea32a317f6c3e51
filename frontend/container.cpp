#include "container.h"

#include <cstring>

#include <zlib.h>

#include "io/endian.h"

namespace tunepak {

bool PackModule(std::span<const std::uint8_t> image, PackedModule& packed) {
    const std::size_t capacity = CompressedCapacity(image.size());
    packed.compressed = WorkBuffer(capacity);
    if (!packed.compressed) return false;
    uLongf length = static_cast<uLongf>(capacity);
    if (compress2(packed.compressed.data(), &length, image.data(), static_cast<uLong>(image.size()),
                  Z_BEST_COMPRESSION) != Z_OK) {
        return false;
    }
    packed.compressedLength = length;
    const auto crc = static_cast<std::uint32_t>(
        crc32(0L, packed.compressed.data(), static_cast<uInt>(length)));

    std::uint8_t* header = packed.header.data();
    std::memcpy(header, "MUSE", 4);
    constexpr std::uint8_t magic[4] = {0xDE, 0xAD, 0xBA, 0xBE};
    std::memcpy(header + 4, magic, 4);
    WriteLe32(header + 8, static_cast<std::uint32_t>(length + containerHeaderSize));
    WriteLe32(header + 12, crc);
    WriteLe32(header + 16, static_cast<std::uint32_t>(length));
    WriteLe32(header + 20, static_cast<std::uint32_t>(image.size()));
    return true;
}

}  // namespace tunepak
