// Packed files built for the tests: an image packed as the writer packs it, a stream of any bytes
// behind a sealed header, and a zlib stream that inflates to a thousand times its size.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include <zlib.h>

#include <gtest/gtest.h>

#include "container/container.h"
#include "test_support.h"

namespace tunepak::test {

// Where the header's length and CRC fields lie.
inline constexpr std::size_t totalLengthAt = offsetof(ContainerHeader, totalLength);
inline constexpr std::size_t crcAt = offsetof(ContainerHeader, crc);
inline constexpr std::size_t compressedLengthAt = offsetof(ContainerHeader, compressedLength);
inline constexpr std::size_t imageLengthAt = offsetof(ContainerHeader, imageLength);

// Puts the bits of a Huffman code, which deflate stores from its most significant bit on, to a
// writer of bits that stores from the least significant.
inline void PutCode(Bytes& bits, std::size_t& count, unsigned code, int length) {
    for (int i = length - 1; i >= 0; --i, ++count) {
        if (count % 8 == 0) bits.push_back(0);
        if ((code >> i) & 1) bits.back() = static_cast<std::uint8_t>(bits.back() | 1 << count % 8);
    }
}

// A zlib stream of `size` bytes that inflates to about 1,030 times as much silence: one block of
// fixed codes, a literal 0 and then copies of 258 bytes at distance 1, 13 bits each. The
// returned length is what it inflates to.
inline std::pair<Bytes, std::uint64_t> DecompressionBomb(std::size_t size) {
    Bytes bits = {0x78, 0x01};
    std::size_t count = 16;
    PutCode(bits, count, 0b110, 3);       // final block, fixed codes (type 1, low bit first)
    PutCode(bits, count, 0x30, 8);        // literal 0
    std::uint64_t inflated = 1;
    while ((count + 13 + 7 + 32) / 8 < size) {
        PutCode(bits, count, 0xC5, 8);    // length 258
        PutCode(bits, count, 0, 5);       // distance 1
        inflated += 258;
    }
    PutCode(bits, count, 0, 7);           // end of block
    Bytes zeros(1 << 20);
    uLong adler = adler32(0, nullptr, 0);
    for (std::uint64_t left = inflated; left != 0;) {
        const auto step = static_cast<uInt>(std::min<std::uint64_t>(left, zeros.size()));
        adler = adler32(adler, zeros.data(), step);
        left -= step;
    }
    for (int shift = 24; shift >= 0; shift -= 8) {
        bits.push_back(static_cast<std::uint8_t>(adler >> shift));
    }
    return {bits, inflated};
}

// The file that `packed` is written as: its header, then its compressed bytes.
inline Bytes FileOf(const PackedModule& packed) {
    Bytes file(packed.FileSize());
    std::memcpy(file.data(), BytesOf(packed.header).data(), containerHeaderSize);
    std::memcpy(file.data() + containerHeaderSize, packed.compressed.data(),
                packed.compressedLength);
    return file;
}

// A packed file of the stream, stating `stated` bytes of image.
inline Bytes PackedStream(const Bytes& stream, std::uint32_t stated) {
    PackedModule packed;
    packed.compressed = WorkBuffer(stream.size());
    std::memcpy(packed.compressed.data(), stream.data(), stream.size());
    packed.compressedLength = stream.size();
    SealPackedModule(packed, stated);
    return FileOf(packed);
}

// An image that compresses, with some variety in it.
inline Bytes VariedImage(std::size_t size) {
    Bytes image(size);
    for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>((i * i) >> 5);
    return image;
}

// The header at the start of a packed file; a zeroed one (and a failure) when the file is too
// short to hold it.
inline ContainerHeader HeaderOf(const Bytes& packed) {
    ContainerHeader header{};
    EXPECT_GE(packed.size(), containerHeaderSize);
    if (packed.size() >= containerHeaderSize) std::memcpy(&header, packed.data(), sizeof header);
    return header;
}

// The image in a packed file, inflated from the bytes behind its header: exactly the number of
// bytes the header states, or a failure.
inline Bytes InflatedImage(const Bytes& packed) {
    if (packed.size() < containerHeaderSize) {
        ADD_FAILURE() << "a packed file of " << packed.size() << " bytes has no header";
        return {};
    }
    const std::uint32_t stated = HeaderOf(packed).imageLength;
    Bytes image(std::size_t{stated} + 1);
    uLongf length = image.size();
    EXPECT_EQ(uncompress(image.data(), &length, packed.data() + containerHeaderSize,
                         packed.size() - containerHeaderSize),
              Z_OK);
    EXPECT_EQ(length, stated);
    image.resize(std::min<std::size_t>(length, stated));
    return image;
}

// The image packed by PackModule, as the file it is written as.
inline Bytes PackedFile(const Bytes& image) {
    PackedModule packed;
    EXPECT_TRUE(PackModule(image, packed));
    return FileOf(packed);
}

}  // namespace tunepak::test
