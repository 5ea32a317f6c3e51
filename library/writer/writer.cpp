#include "writer/writer.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cstring>
#include <span>

#include "io/endian.h"
#include "io/services.h"
#include "model/model.h"
#include "model/patterns.h"

namespace tunepak {

namespace {

// Counts every byte and, when there is a stream, writes it through the service table.
class Sink {
public:
    explicit Sink(void* stream) : stream_(stream) {}

    void Put(const void* bytes, std::size_t count) {
        if (stream_ != nullptr && count != 0) services.write(bytes, 1, count, stream_);
        total_ += count;
    }
    void Put(std::span<const std::uint8_t> bytes) { Put(bytes.data(), bytes.size()); }
    void PutU8(std::uint8_t value) { Put(&value, 1); }
    void PutU16(std::uint16_t value) {
        std::uint8_t bytes[2];
        WriteLe16(bytes, value);
        Put(bytes, 2);
    }
    void PutU32(std::uint32_t value) {
        std::uint8_t bytes[4];
        WriteLe32(bytes, value);
        Put(bytes, 4);
    }
    void PutChunkHead(const char (&id)[5], std::uint32_t length) {
        Put(id, 4);
        PutU32(length);
    }
    void PutZeros(std::uint64_t count) {
        static constexpr std::array<std::uint8_t, 4096> zeros{};
        while (count > 0) {
            const auto now = static_cast<std::size_t>(std::min<std::uint64_t>(count, zeros.size()));
            Put(zeros.data(), now);
            count -= now;
        }
    }

    void* stream() const { return stream_; }
    std::uint64_t total() const { return total_; }

private:
    void* stream_;
    std::uint64_t total_ = 0;
};

void WriteMain(Sink& sink) {
    const std::size_t channels = std::min<std::size_t>(song.channelCount, maxChannels);
    sink.PutChunkHead("MAIN", static_cast<std::uint32_t>(mainFieldBytes + channels));
    sink.Put(song.title);
    sink.Put(song.auxTitle);
    sink.PutU8(song.songFlags);
    sink.PutU8(song.channelCount);
    sink.PutU8(song.initialSpeed);
    sink.PutU8(song.initialTempo);
    sink.PutU16(song.minPeriod);
    sink.PutU16(song.maxPeriod);
    sink.PutU8(song.globalVolume);
    sink.Put(song.channelPan.data(), channels);
}

void WriteOrders(Sink& sink) {
    sink.PutChunkHead("ORDR", song.lastOrder + 2u);
    sink.PutU8(song.lastOrder);
    sink.Put(orderList.data(), song.lastOrder + 1u);
}

// Writes every pattern 0..253 and returns the instrument slots they name.
std::bitset<128> WritePatterns(Sink& sink) {
    std::bitset<128> used;
    const bool packed = song.songFlags & rowPacked;
    for (std::size_t number = 0; number < 254; ++number) {
        const PatternSlot& slot = patternTable[number];
        if (slot.data == nullptr || slot.size == 0) continue;
        const std::span<const std::uint8_t> block(slot.data, slot.size);
        const PatternWalk walk = packed ? WalkRowPacked(block) : WalkEventStream(block);
        used |= walk.usedInstruments;
        if (packed) {
            const auto events = static_cast<std::uint32_t>(walk.length - 1);  // E
            sink.PutChunkHead("PATT", events + 6);
            sink.PutU8(static_cast<std::uint8_t>(number));
            sink.PutU32(events);
        } else {
            const auto length = static_cast<std::uint32_t>(walk.length);  // N
            sink.PutChunkHead("NOTE", length + 5);
            sink.PutU8(static_cast<std::uint8_t>(number));
            sink.PutU32(length);
        }
        sink.Put(block.first(walk.length));
    }
    return used;
}

// Writes one instrument block with its samples' frames interleaved; the heads carry the lengths
// of the file, which count the frames too.
void WriteInstrument(Sink& sink, const InstrumentSlot& slot) {
    const std::uint8_t* block = slot.block;
    const auto& record = *reinterpret_cast<const InstrumentRecord*>(block);
    const std::size_t count = record.sampleCount;
    auto frameBytes = [&](std::size_t k) {
        const SampleHeader& header = SampleOf(slot.block, k);
        return std::uint64_t{header.length} * SampleWidth(header);
    };
    std::uint64_t dataBytes = 0;
    for (std::size_t k = 0; k < count; ++k) dataBytes += frameBytes(k);

    std::array<std::uint8_t, instrumentRecordSize> head;
    std::memcpy(head.data(), block, head.size());
    WriteLe32(head.data() + 4, static_cast<std::uint32_t>(record.size + dataBytes));
    sink.Put(head);
    for (std::size_t k = 0; k < count; ++k) {
        const SampleHeader& header = SampleOf(slot.block, k);
        std::array<std::uint8_t, sampleHeaderSize> sampleHead;
        std::memcpy(sampleHead.data(), &header, sampleHead.size());
        WriteLe32(sampleHead.data() + 4, static_cast<std::uint32_t>(header.size + frameBytes(k)));
        sink.Put(sampleHead);
        const std::uint8_t* frames = slot.sampleData[k];
        if (frames != nullptr) {
            sink.Put(frames, static_cast<std::size_t>(frameBytes(k)));
        } else {
            sink.PutZeros(frameBytes(k));  // the lengths in the heads promise these bytes
        }
    }
}

}  // namespace

std::uint64_t WriteModule(void* stream, unsigned mode) {
    Sink sink(InstallStreams(mode, stream));
    sink.PutChunkHead("RIFF", 0);
    sink.Put("AMFF", 4);
    WriteMain(sink);
    WriteOrders(sink);
    const std::bitset<128> used = WritePatterns(sink);
    for (std::size_t i = 0; i < instrumentTable.size(); ++i) {
        const InstrumentSlot& slot = instrumentTable[i];
        if (!IsInstrumentBlock(slot.block) || !used[i]) continue;
        WriteInstrument(sink, slot);
    }
    const std::uint64_t total = sink.total();
    if (sink.stream() != nullptr && total <= largestImage) {
        std::uint8_t length[4];
        WriteLe32(length, static_cast<std::uint32_t>(total - 8));
        const auto end = static_cast<std::int64_t>(total);
        SeekBy(sink.stream(), 4 - end);  // back to the RIFF length field
        services.write(length, 1, 4, sink.stream());
        SeekBy(sink.stream(), end - 8);
    }
    return total;
}

}  // namespace tunepak
