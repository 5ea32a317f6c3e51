// The library's service table: every allocation and every stream access goes through it, so the
// same loaders and writer work on an open file or on a block of memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>

namespace tunepak {

struct ServiceTable {
    void* (*allocate)(std::size_t size);
    void* (*reallocate)(void* block, std::size_t size);
    void (*release)(void* block);
    int (*seek)(void* stream, std::int32_t offset, int origin);  // 0 from start, 1 from current
    std::size_t (*read)(void* buffer, std::size_t itemSize, std::size_t count, void* stream);
    std::size_t (*write)(const void* buffer, std::size_t itemSize, std::size_t count, void* stream);
    long (*tell)(void* stream);
};

// The process-wide table: the standard heap and the file-mode stream functions at start.
extern ServiceTable services;

// Flags of LoadModule and WriteModule saying what their stream argument is.
enum StreamMode : unsigned {
    StreamFile = 1,    // an open standard I/O FILE*
    StreamMemory = 2,  // the address of a memory block
};

// The one memory stream: a block's start and the current position in it. Memory mode has no
// bounds; its caller gives a block large enough for what will be read or written.
struct MemoryStream {
    std::uint8_t* base = nullptr;
    std::uint8_t* current = nullptr;
};
extern MemoryStream memoryStream;

// The stream functions of each mode, as they go into the table's stream slots.
int FileSeek(void* stream, std::int32_t offset, int origin);
std::size_t FileRead(void* buffer, std::size_t itemSize, std::size_t count, void* stream);
std::size_t FileWrite(const void* buffer, std::size_t itemSize, std::size_t count, void* stream);
long FileTell(void* stream);
int MemorySeek(void* stream, std::int32_t offset, int origin);
std::size_t MemoryRead(void* buffer, std::size_t itemSize, std::size_t count, void* stream);
std::size_t MemoryWrite(const void* buffer, std::size_t itemSize, std::size_t count, void* stream);
long MemoryTell(void* stream);

// Installs the stream functions that `mode` selects (memory mode wins when both bits are set)
// and returns the stream argument to pass to them from here on: the MemoryStream in memory mode
// with a non-null block, else `stream` itself.
void* InstallStreams(unsigned mode, void* stream);

// --- Bounded reading helpers for loaders -------------------------------------------------------

// Reads up to buffer.size() bytes; whatever the read leaves unfilled is set to 0, so a short
// read never leaves stale bytes behind. Returns the number of bytes read.
std::size_t ReadBytes(void* stream, std::span<std::uint8_t> buffer);

// Reads one on-disk record whole (a struct of byte fields) through ReadBytes.
template <class Record>
std::size_t ReadRecord(void* stream, Record& record) {
    return ReadBytes(stream, std::span(reinterpret_cast<std::uint8_t*>(&record), sizeof(Record)));
}

// Reads one byte (0 when the data has ended).
std::uint8_t ReadU8(void* stream);
std::uint16_t ReadU16Le(void* stream);
std::uint32_t ReadU32Le(void* stream);

// Reads a table of little-endian values in one read (values past the end of the data are 0).
void ReadLe16s(void* stream, std::span<std::uint16_t> values);
void ReadLe32s(void* stream, std::span<std::uint32_t> values);

// The current position in bytes from the start (0 when the stream cannot tell).
std::uint64_t Position(void* stream);

// Moves to `position` bytes from the start. A position that the stream cannot reach lies beyond
// its end: the stream is left at its end, where nothing more is read. Returns whether the
// position was reached.
bool SeekTo(void* stream, std::uint64_t position);

// Moves by `distance` bytes from the current position, in steps that fit the seek slot's signed
// offset, so that a large distance never changes direction. Returns whether it got there.
bool SeekBy(void* stream, std::int64_t distance);

// The number of bytes between the current position and the end of the stream, when the stream
// can tell its end (file mode); nothing in memory mode, whose blocks have no known end.
std::optional<std::uint64_t> BytesLeft(void* stream);

// While it lives, BytesLeft measures where the stream ends only once and takes the end from
// there afterwards, instead of seeking to the end and back each time (which costs a file-mode
// stream system calls and the refilling of its buffer). Only for a stream whose length stays as
// it is meanwhile: LoadModule holds one over the stream it loads from.
class KnownStreamEnd {
public:
    explicit KnownStreamEnd(void* stream);
    ~KnownStreamEnd();
    KnownStreamEnd(const KnownStreamEnd&) = delete;
    KnownStreamEnd& operator=(const KnownStreamEnd&) = delete;
};

// The length of the stream that the living KnownStreamEnd watches, measured as BytesLeft
// measures it (once): nothing when none lives, when its end cannot be told, or when it is not
// measured yet and other stream functions are installed than the ones it was made with.
std::optional<std::uint64_t> KnownStreamLength();

// --- Work buffers -------------------------------------------------------------------------------

// A zero-filled block from the service table, released on every exit from its scope.
class WorkBuffer {
public:
    // Fill::none leaves the bytes as the allocator gives them, for a block that its user fills
    // whole before reading any of it (an image, a compressed stream, decoded frames).
    enum class Fill { zeros, none };

    WorkBuffer() = default;
    explicit WorkBuffer(std::size_t size, Fill fill = Fill::zeros);
    ~WorkBuffer();
    WorkBuffer(WorkBuffer&& other) noexcept;
    WorkBuffer& operator=(WorkBuffer&& other) noexcept;
    WorkBuffer(const WorkBuffer&) = delete;
    WorkBuffer& operator=(const WorkBuffer&) = delete;

    explicit operator bool() const { return data_ != nullptr; }
    std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::span<std::uint8_t> span() const { return {data_, data_ ? size_ : 0}; }
    std::uint8_t& operator[](std::size_t i) const { return data_[i]; }

    // Gives up ownership of the block to the caller.
    std::uint8_t* Release();

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace tunepak
