#include "io/services.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "io/endian.h"

namespace tunepak {

namespace {

void* HeapAllocate(std::size_t size) { return std::malloc(size); }
void* HeapReallocate(void* block, std::size_t size) { return std::realloc(block, size); }
void HeapRelease(void* block) { std::free(block); }

std::FILE* AsFile(void* stream) { return static_cast<std::FILE*>(stream); }
MemoryStream* AsMemory(void* stream) { return static_cast<MemoryStream*>(stream); }

}  // namespace

ServiceTable services = {HeapAllocate, HeapReallocate, HeapRelease, FileSeek,
                         FileRead,     FileWrite,      FileTell};
MemoryStream memoryStream;

int FileSeek(void* stream, std::int32_t offset, int origin) {
    return std::fseek(AsFile(stream), offset, origin);
}
std::size_t FileRead(void* buffer, std::size_t itemSize, std::size_t count, void* stream) {
    return std::fread(buffer, itemSize, count, AsFile(stream));
}
std::size_t FileWrite(const void* buffer, std::size_t itemSize, std::size_t count, void* stream) {
    return std::fwrite(buffer, itemSize, count, AsFile(stream));
}
long FileTell(void* stream) { return std::ftell(AsFile(stream)); }

int MemorySeek(void* stream, std::int32_t offset, int origin) {
    auto* memory = AsMemory(stream);
    switch (origin) {
        case 0: memory->current = memory->base + offset; return 0;
        case 1: memory->current = memory->current + offset; return 0;
        default: return 1;
    }
}
std::size_t MemoryRead(void* buffer, std::size_t itemSize, std::size_t count, void* stream) {
    auto* memory = AsMemory(stream);
    const std::size_t bytes = itemSize * count;
    if (bytes != 0) std::memcpy(buffer, memory->current, bytes);
    memory->current += bytes;
    return count;
}
std::size_t MemoryWrite(const void* buffer, std::size_t itemSize, std::size_t count, void* stream) {
    auto* memory = AsMemory(stream);
    const std::size_t bytes = itemSize * count;
    if (bytes != 0) std::memcpy(memory->current, buffer, bytes);
    memory->current += bytes;
    return count;
}
long MemoryTell(void* stream) {
    auto* memory = AsMemory(stream);
    return static_cast<long>(memory->current - memory->base);
}

void* InstallStreams(unsigned mode, void* stream) {
    if (mode & StreamFile) {
        services.seek = FileSeek;
        services.read = FileRead;
        services.write = FileWrite;
        services.tell = FileTell;
    }
    if (mode & StreamMemory) {
        services.seek = MemorySeek;
        services.read = MemoryRead;
        services.write = MemoryWrite;
        services.tell = MemoryTell;
        if (stream != nullptr) {
            memoryStream.base = static_cast<std::uint8_t*>(stream);
            memoryStream.current = memoryStream.base;
            return &memoryStream;
        }
    }
    return stream;
}

std::size_t ReadBytes(void* stream, std::span<std::uint8_t> buffer) {
    if (buffer.empty()) return 0;
    std::size_t got = services.read(buffer.data(), 1, buffer.size(), stream);
    got = std::min(got, buffer.size());
    std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(got), buffer.end(), std::uint8_t{0});
    return got;
}

std::uint8_t ReadU8(void* stream) {
    std::uint8_t value = 0;
    ReadBytes(stream, std::span(&value, 1));
    return value;
}
std::uint16_t ReadU16Le(void* stream) {
    std::uint8_t bytes[2];
    ReadBytes(stream, bytes);
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}
std::uint32_t ReadU32Le(void* stream) {
    std::uint8_t bytes[4];
    ReadBytes(stream, bytes);
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

namespace {

// The bytes land where the values go; each value then takes the place of its own bytes.
template <class Value>
void ReadLeTable(void* stream, std::span<Value> values) {
    constexpr std::size_t size = sizeof(Value);
    auto* raw = reinterpret_cast<std::uint8_t*>(values.data());
    ReadBytes(stream, std::span(raw, values.size_bytes()));
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::span<const std::uint8_t, size> bytes(raw + size * i, size);
        values[i] = static_cast<Value>(GetLe<size>(bytes));
    }
}

}  // namespace

void ReadLe16s(void* stream, std::span<std::uint16_t> values) { ReadLeTable(stream, values); }
void ReadLe32s(void* stream, std::span<std::uint32_t> values) { ReadLeTable(stream, values); }

std::uint64_t Position(void* stream) {
    const long position = services.tell(stream);
    return position < 0 ? 0 : static_cast<std::uint64_t>(position);
}

bool SeekTo(void* stream, std::uint64_t position) {
    if (position <= static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()) &&
        services.seek(stream, static_cast<std::int32_t>(position), 0) == 0) {
        return true;
    }
    services.seek(stream, 0, 2);
    return false;
}

bool SeekBy(void* stream, std::int64_t distance) {
    constexpr std::int64_t step = std::numeric_limits<std::int32_t>::max();
    while (distance != 0) {
        const auto now = static_cast<std::int32_t>(std::clamp(distance, -step, step));
        if (services.seek(stream, now, 1) != 0) return false;
        distance -= now;
    }
    return true;
}

namespace {

// Where the stream ends, by a trip to the end and back to `here` (in steps, when `here` lies
// further than a seek offset reaches): nothing when the stream cannot tell.
std::optional<long> MeasureEnd(void* stream, long here) {
    if (here < 0 || services.seek(stream, 0, 2) != 0) return std::nullopt;
    const long end = services.tell(stream);
    const bool back = here <= std::numeric_limits<std::int32_t>::max()
                          ? services.seek(stream, static_cast<std::int32_t>(here), 0) == 0
                          : SeekBy(stream, std::int64_t{here} - end);
    if (end < 0 || !back) return std::nullopt;
    return end;
}

// The stream of a KnownStreamEnd, under which seek function (the memory stream that stands in
// for it during a load has another), and, once BytesLeft has measured it, where it ends.
struct StreamEnd {
    void* stream = nullptr;
    int (*seek)(void*, std::int32_t, int) = nullptr;
    std::optional<long> end;
};
StreamEnd knownEnd;

}  // namespace

std::optional<std::uint64_t> BytesLeft(void* stream) {
    const long here = services.tell(stream);
    if (here < 0) {
        // Where a long has 32 bits, a file stream cannot tell a position past 2 GB. When it can
        // tell its end, such a position lies beyond it: the stream is left at its end, where
        // nothing more is read, rather than a loader trusting a length the file cannot hold.
        if (services.seek(stream, 0, 2) == 0 && services.tell(stream) >= 0) return 0;
        return std::nullopt;
    }
    const bool known =
        stream != nullptr && stream == knownEnd.stream && services.seek == knownEnd.seek;
    const std::optional<long> end =
        known && knownEnd.end ? knownEnd.end : MeasureEnd(stream, here);
    if (known) knownEnd.end = end;
    if (!end) return std::nullopt;
    if (*end < here) return 0;
    return static_cast<std::uint64_t>(*end - here);
}

KnownStreamEnd::KnownStreamEnd(void* stream) { knownEnd = {stream, services.seek, {}}; }

std::optional<std::uint64_t> KnownStreamLength() {
    if (knownEnd.stream == nullptr) return std::nullopt;
    if (!knownEnd.end && services.seek == knownEnd.seek) BytesLeft(knownEnd.stream);
    if (!knownEnd.end) return std::nullopt;  // measured ends are never negative
    return static_cast<std::uint64_t>(*knownEnd.end);
}

KnownStreamEnd::~KnownStreamEnd() { knownEnd = {}; }

WorkBuffer::WorkBuffer(std::size_t size, Fill fill)
    : data_(static_cast<std::uint8_t*>(services.allocate(size == 0 ? 1 : size))), size_(size) {
    if (data_ != nullptr && fill == Fill::zeros) std::memset(data_, 0, size_);
}
WorkBuffer::~WorkBuffer() {
    if (data_ != nullptr) services.release(data_);
}
WorkBuffer::WorkBuffer(WorkBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
WorkBuffer& WorkBuffer::operator=(WorkBuffer&& other) noexcept {
    if (this != &other) {
        if (data_ != nullptr) services.release(data_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}
std::uint8_t* WorkBuffer::Release() {
    size_ = 0;
    return std::exchange(data_, nullptr);
}

}  // namespace tunepak
