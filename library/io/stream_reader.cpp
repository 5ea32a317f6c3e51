#include "io/stream_reader.h"

#include <algorithm>
#include <limits>

namespace tunepak {

StreamReader::StreamReader(void* stream) : stream_(stream), origin_(Position(stream)) {}

std::uint64_t StreamReader::Offset() const {
    const std::uint64_t here = Position(stream_);
    return here > origin_ ? here - origin_ : 0;
}

std::optional<std::uint64_t> StreamReader::BytesLeft() const { return tunepak::BytesLeft(stream_); }

bool StreamReader::Seek(std::uint64_t offset) {
    if (offset > std::numeric_limits<std::uint64_t>::max() - origin_) return ToEnd();
    return SeekTo(stream_, origin_ + offset);
}

bool StreamReader::SeekParagraph(std::uint32_t paragraph) {
    return Seek(std::uint64_t{paragraph} * 16);
}

bool StreamReader::Skip(std::int64_t distance) {
    return SeekBy(stream_, distance) || ToEnd();
}

// A place the stream cannot reach lies beyond its end; the reader waits there.
bool StreamReader::ToEnd() {
    services.seek(stream_, 0, 2);
    return false;
}

std::size_t StreamReader::Read(std::span<std::uint8_t> bytes) { return ReadBytes(stream_, bytes); }

std::size_t StreamReader::ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) {
    if (Seek(offset)) return Read(bytes);
    std::fill(bytes.begin(), bytes.end(), std::uint8_t{0});
    return 0;
}

bool StreamReader::Peek(std::span<std::uint8_t> bytes) {
    return Skip(-static_cast<std::int64_t>(Read(bytes)));
}

std::uint8_t StreamReader::U8() { return ReadU8(stream_); }
std::uint16_t StreamReader::U16() { return ReadU16Le(stream_); }
std::uint32_t StreamReader::U32() { return ReadU32Le(stream_); }

void StreamReader::ReadTable(std::span<std::uint16_t> values) { ReadLe16s(stream_, values); }
void StreamReader::ReadTable(std::span<std::uint32_t> values) { ReadLe32s(stream_, values); }

bool StreamReader::ReadTable(std::span<std::uint32_t> values, std::size_t count) {
    const std::size_t kept = std::min(count, values.size());
    std::fill(values.begin() + static_cast<std::ptrdiff_t>(kept), values.end(), 0u);
    ReadTable(values.first(kept));
    return Skip(static_cast<std::int64_t>(std::uint64_t{count - kept} * 4));
}

}  // namespace tunepak
