// The reading side of a loader: typed little-endian fields, records and tables taken from a
// stream, with every position counted from where the module starts in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>

#include "io/services.h"

namespace tunepak {

// Reads what the stream holds and fills the rest with zeros, so that a short file reads like
// one that ends in zeros. A seek says whether it got there, and its caller must answer: a place
// the stream cannot reach lies beyond its end, where the reader is left and every read is zeros.
class StreamReader {
public:
    // The module starts at the stream's current position.
    explicit StreamReader(void* stream);

    // The stream itself, for the sample preparation that reads frames through it.
    void* stream() const { return stream_; }

    // Where the module starts in the stream, and the reader's place counted from there.
    std::uint64_t origin() const { return origin_; }
    std::uint64_t Offset() const;

    // The bytes between here and the end of the stream, when the stream can tell its end.
    std::optional<std::uint64_t> BytesLeft() const;

    // Moves to `offset` bytes from the origin.
    [[nodiscard]] bool Seek(std::uint64_t offset);
    // Moves to a place counted in 16-byte paragraphs from the origin.
    [[nodiscard]] bool SeekParagraph(std::uint32_t paragraph);
    // Moves by `distance` bytes from here, either way.
    [[nodiscard]] bool Skip(std::int64_t distance);

    // Fills `bytes`; returns how many the stream held.
    std::size_t Read(std::span<std::uint8_t> bytes);
    // Reads one on-disk record (a struct of byte fields) whole: into `record`, returning how many
    // bytes the stream held, or as a value.
    template <class Record>
    std::size_t ReadRecord(Record& record) {
        return Read(BytesOf(record));
    }
    template <class Record>
    Record Read() {
        Record record{};
        Read(BytesOf(record));
        return record;
    }
    // Reads bytes, or a record, at `offset` from the origin; all zeros when the stream cannot
    // reach it.
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes);
    template <class Record>
    Record ReadAt(std::uint64_t offset) {
        Record record{};
        ReadAt(offset, BytesOf(record));
        return record;
    }
    // Fills `bytes`, or a record, from here and goes back to where the reading started; false
    // when the stream cannot go back, and the reader is then at the end.
    [[nodiscard]] bool Peek(std::span<std::uint8_t> bytes);
    template <class Record>
    [[nodiscard]] bool PeekRecord(Record& record) {
        return Peek(BytesOf(record));
    }

    // Little-endian fields.
    std::uint8_t U8();
    std::uint16_t U16();
    std::uint32_t U32();

    // Reads a table of little-endian values.
    void ReadTable(std::span<std::uint16_t> values);
    void ReadTable(std::span<std::uint32_t> values);
    // Reads a table of `count` little-endian values of which `values` keeps the first ones it
    // has room for (the rest of `values` is 0); the others are passed over.
    [[nodiscard]] bool ReadTable(std::span<std::uint32_t> values, std::size_t count);

private:
    template <class Record>
    static std::span<std::uint8_t> BytesOf(Record& record) {
        static_assert(std::is_trivially_copyable_v<Record> && alignof(Record) == 1);
        return {reinterpret_cast<std::uint8_t*>(&record), sizeof(Record)};
    }
    [[nodiscard]] bool ToEnd();

    void* stream_;
    std::uint64_t origin_;
};

}  // namespace tunepak
