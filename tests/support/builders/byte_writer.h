// Writers of module bytes, shared by the tests and the benchmarks' module maker: a byte image
// built field by field, and values of odd bit widths packed as compressed IT samples hold them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

namespace tunepak::test {

using Bytes = std::vector<std::uint8_t>;

// Builds a byte image field by field.
class ByteWriter {
public:
    ByteWriter& U8(unsigned v);
    ByteWriter& U16(unsigned v);    // little-endian
    ByteWriter& U32(std::uint32_t v);
    ByteWriter& U16Be(unsigned v);
    ByteWriter& Text(std::string_view text, std::size_t width);  // zero padded to width
    ByteWriter& Raw(std::span<const std::uint8_t> bytes);
    ByteWriter& Raw(std::initializer_list<std::uint8_t> bytes);
    ByteWriter& Fill(std::size_t count, std::uint8_t value = 0);
    ByteWriter& PadTo(std::size_t size, std::uint8_t value = 0);  // fills up to an offset
    ByteWriter& Align(std::size_t unit);  // zero fills up to the next multiple of `unit`
    // Overwrites bytes at an offset already written.
    ByteWriter& PutU16At(std::size_t offset, unsigned v);
    ByteWriter& PutU32At(std::size_t offset, std::uint32_t v);

    std::size_t size() const { return bytes_.size(); }
    const Bytes& bytes() const { return bytes_; }
    Bytes& bytes() { return bytes_; }

private:
    Bytes bytes_;
};

// Packs values of given bit widths least significant bit first, as compressed samples hold them.
class BitWriter {
public:
    BitWriter& Put(std::uint32_t value, int width);
    const Bytes& bytes() const { return bytes_; }

private:
    Bytes bytes_;
    int bit_ = 0;
};

// One compressed IT sample block: its byte count, then its bits.
Bytes CompressedBlock(std::span<const std::uint8_t> bits);

}  // namespace tunepak::test
