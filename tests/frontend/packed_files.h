// Packed files built for the tests of the reader's bounds: a stream of any bytes behind a sealed
// header, and a zlib stream that inflates to a thousand times its size.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include <zlib.h>

#include "container.h"
#include "test_support.h"

namespace tunepak::test {

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

// A packed file of the stream, stating `stated` bytes of image.
inline Bytes PackedStream(const Bytes& stream, std::uint32_t stated) {
    PackedModule packed;
    packed.compressed = WorkBuffer(stream.size());
    std::memcpy(packed.compressed.data(), stream.data(), stream.size());
    packed.compressedLength = stream.size();
    SealPackedModule(packed, stated);
    Bytes file(packed.FileSize());
    std::memcpy(file.data(), packed.header.data(), containerHeaderSize);
    std::memcpy(file.data() + containerHeaderSize, stream.data(), stream.size());
    return file;
}

}  // namespace tunepak::test
