#include "byte_writer.h"

namespace tunepak::test {

ByteWriter& ByteWriter::U8(unsigned v) {
    bytes_.push_back(static_cast<std::uint8_t>(v));
    return *this;
}
ByteWriter& ByteWriter::U16(unsigned v) { return U8(v & 0xFF).U8((v >> 8) & 0xFF); }
ByteWriter& ByteWriter::U32(std::uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
ByteWriter& ByteWriter::U16Be(unsigned v) { return U8((v >> 8) & 0xFF).U8(v & 0xFF); }
ByteWriter& ByteWriter::Text(std::string_view text, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
        U8(i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0);
    }
    return *this;
}
ByteWriter& ByteWriter::Raw(std::span<const std::uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}
ByteWriter& ByteWriter::Raw(std::initializer_list<std::uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}
ByteWriter& ByteWriter::Fill(std::size_t count, std::uint8_t value) {
    bytes_.insert(bytes_.end(), count, value);
    return *this;
}
ByteWriter& ByteWriter::PadTo(std::size_t size, std::uint8_t value) {
    if (bytes_.size() < size) bytes_.resize(size, value);
    return *this;
}
ByteWriter& ByteWriter::Align(std::size_t unit) {
    return PadTo((bytes_.size() + unit - 1) / unit * unit);
}
ByteWriter& ByteWriter::PutU16At(std::size_t offset, unsigned v) {
    bytes_.at(offset) = static_cast<std::uint8_t>(v);
    bytes_.at(offset + 1) = static_cast<std::uint8_t>(v >> 8);
    return *this;
}
ByteWriter& ByteWriter::PutU32At(std::size_t offset, std::uint32_t v) {
    PutU16At(offset, v & 0xFFFF);
    return PutU16At(offset + 2, v >> 16);
}

BitWriter& BitWriter::Put(std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i, ++bit_) {
        if (bit_ % 8 == 0) bytes_.push_back(0);
        if ((value >> i) & 1) {
            bytes_.back() = static_cast<std::uint8_t>(bytes_.back() | (1 << (bit_ % 8)));
        }
    }
    return *this;
}

Bytes CompressedBlock(std::span<const std::uint8_t> bits) {
    ByteWriter w;
    w.U16(static_cast<unsigned>(bits.size())).Raw(bits);
    return w.bytes();
}

}  // namespace tunepak::test
