// The AM module reader: the library's own RIFF "AMFF" format, read back into the model.

#include <algorithm>
#include <array>
#include <cstring>

#include "io/services.h"
#include "io/stream_reader.h"
#include "loaders/loaders.h"

namespace tunepak {

namespace {

struct ChunkHead {
    std::array<char, 4> id;
    Le32 length;
};
static_assert(sizeof(ChunkHead) == 8);

// MAIN's fixed fields, as they lie in the chunk.
struct MainFields {
    std::array<std::uint8_t, 32> title;
    std::array<std::uint8_t, 32> auxTitle;
    std::uint8_t songFlags;
    std::uint8_t channelCount;
    std::uint8_t initialSpeed;
    std::uint8_t initialTempo;
    Le16 minPeriod;
    Le16 maxPeriod;
    std::uint8_t globalVolume;
};
static_assert(sizeof(MainFields) == mainFieldBytes);

bool IsId(const ChunkHead& head, const char (&id)[5]) {
    return std::memcmp(head.id.data(), id, 4) == 0;
}

// Fields that a short read leaves unread keep the values they had.
int ReadMain(StreamReader& reader) {
    MainFields main;
    const std::size_t got = reader.ReadRecord(main);
    auto have = [&](std::size_t end) { return got >= end; };
    if (have(32)) song.title = main.title;
    if (have(64)) song.auxTitle = main.auxTitle;
    if (have(65)) song.songFlags = main.songFlags;
    if (have(66)) {
        if (main.channelCount > maxChannels) return ResultBadFile;
        song.channelCount = main.channelCount;
    }
    if (have(67)) song.initialSpeed = main.initialSpeed;
    if (have(68)) song.initialTempo = main.initialTempo;
    if (have(70)) song.minPeriod = main.minPeriod;
    if (have(72)) song.maxPeriod = main.maxPeriod;
    if (have(mainFieldBytes)) song.globalVolume = main.globalVolume;
    if (!have(66)) return ResultOk;
    std::array<std::uint8_t, maxChannels> pans{};
    const std::size_t pansRead = reader.Read(std::span(pans).first(main.channelCount));
    std::copy_n(pans.begin(), pansRead, song.channelPan.begin());
    return ResultOk;
}

void ReadOrders(StreamReader& reader) {
    std::uint8_t last = 0;
    if (reader.Read(std::span(&last, 1)) != 1) return;
    song.lastOrder = last;
    OrderList orders{};
    const std::size_t got = reader.Read(std::span(orders).first(last + 1u));
    std::copy_n(orders.begin(), got, orderList.begin());
}

// PATT (the row-count byte and E event bytes) and NOTE (N bytes) blocks, stored as they lie.
int ReadPattern(StreamReader& reader, bool packed) {
    const std::uint8_t number = reader.U8();
    std::uint64_t size = reader.U32();
    if (packed) size += 1;
    // Never allocate more than the stream can still deliver.
    if (const auto left = reader.BytesLeft()) size = std::min(size, *left);
    PatternSlot& slot = patternTable[number];
    if (slot.data != nullptr) services.release(slot.data);
    slot = {};
    if (size == 0) return ResultOk;
    WorkBuffer block(static_cast<std::size_t>(size));
    if (!block) return ResultNoPatternMemory;
    reader.Read(block.span());
    slot.size = block.size();
    slot.data = block.Release();
    return ResultOk;
}

int ReadInstrument(StreamReader& reader) {
    const std::uint8_t reserved = reader.U8();
    const std::uint8_t slotIndex = reader.U8();
    if (slotIndex >= instrumentTable.size()) return ResultBadFile;

    // The record's fields after its head, then the block sized for its samples.
    std::array<std::uint8_t, instrumentRecordSize> record{};
    reader.Read(std::span(record).subspan(10));
    const std::uint8_t sampleCount = record[offsetof(InstrumentRecord, sampleCount)];
    std::uint8_t* block = NewInstrument(slotIndex, sampleCount);
    if (block == nullptr) return ResultNoMemory;
    std::memcpy(block + 10, record.data() + 10, record.size() - 10);
    InstrumentRecord& instrument = RecordOf(block);
    instrument.reserved = reserved;
    instrument.index = slotIndex;
    instrument.size = 225;

    InstrumentSlot& slot = instrumentTable[slotIndex];
    for (std::size_t k = 0; k < sampleCount; ++k) {
        instrument.size = instrument.size + 64;
        SampleHeader& header = SampleOf(block, k);
        reader.ReadRecord(header);
        header.data.fill(0);
        // Later headers stay zero (the block was zero-filled) if this one fails.
        if (const int result = PrepareSample(header, slot.sampleData[k], reader.stream());
            result != ResultOk) {
            return result;
        }
    }
    return ResultOk;
}

}  // namespace

int LoadAm(void* stream) {
    StreamReader reader(stream);
    std::array<std::uint8_t, 12> riff{};
    reader.Read(riff);
    std::uint32_t remaining = ReadLe32(riff.data() + 4) - 4;
    if (remaining == 0) return ResultOk;

    int result = ResultOk;
    while (result == ResultOk) {
        ChunkHead head{};
        if (reader.ReadRecord(head) < sizeof head) {
            result = ResultBadFile;
            break;
        }
        const std::uint32_t length = head.length;
        if (IsId(head, "MAIN")) {
            result = ReadMain(reader);
        } else if (IsId(head, "ORDR")) {
            ReadOrders(reader);
        } else if (IsId(head, "PATT")) {
            result = ReadPattern(reader, true);
        } else if (IsId(head, "NOTE")) {
            result = ReadPattern(reader, false);
        } else if (IsId(head, "INST")) {
            result = ReadInstrument(reader);
        } else if (!reader.Skip(length)) {
            result = ResultBadFile;
            break;
        }
        remaining -= length + 8;
        if (remaining == 0) break;
    }
    return result;
}

}  // namespace tunepak
