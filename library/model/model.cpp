#include "model/model.h"

#include <cstring>
#include <optional>

#include "io/services.h"

namespace tunepak {

SongHeader song;
OrderList orderList{};
PatternTable patternTable{};
InstrumentTable instrumentTable{};

bool IsInstrumentBlock(const std::uint8_t* block) {
    return block != nullptr && std::memcmp(block, "INST", 4) == 0;
}

namespace {

// Whether any of a slot's 256 sample buffers is set, compared in one block against a table of
// nulls: most slots of most modules hold none, and this is far cheaper than a walk.
bool HoldsSampleData(const InstrumentSlot& slot) {
    static constexpr decltype(InstrumentSlot::sampleData) none{};
    return std::memcmp(slot.sampleData.data(), none.data(), sizeof none) != 0;
}

// Sample buffers belong to the headers of their slot's block, so only a slot with a block can
// hold any; there all 256 are checked, whatever the block's sample count says.
void ReleaseInstrument(InstrumentSlot& slot) {
    if (slot.block == nullptr) return;
    if (HoldsSampleData(slot)) {
        for (auto& data : slot.sampleData) {
            if (data != nullptr) services.release(data);
            data = nullptr;
        }
    }
    services.release(slot.block);
    slot.block = nullptr;
}

}  // namespace

std::uint8_t* NewInstrument(std::size_t slotIndex, std::uint8_t sampleCount) {
    InstrumentSlot& slot = instrumentTable[slotIndex];
    ReleaseInstrument(slot);
    const std::size_t size = InstrumentBlockSize(sampleCount);
    auto* block = static_cast<std::uint8_t*>(services.allocate(size));
    if (block == nullptr) return nullptr;
    std::memset(block, 0, size);
    InstrumentRecord& record = RecordOf(block);
    std::memcpy(record.id.data(), "INST", 4);
    record.size = static_cast<std::uint32_t>(size - 8);
    record.index = static_cast<std::uint8_t>(slotIndex);
    record.sampleCount = sampleCount;
    slot.block = block;
    return block;
}

namespace {

std::uint64_t sampleBytesReserved = 0;  // since the model was last released
std::optional<std::uint64_t> boundSource;  // the size a SampleBoundSource gives

}  // namespace

SampleBoundSource::SampleBoundSource(std::uint64_t bytes) { boundSource = bytes; }
SampleBoundSource::~SampleBoundSource() { boundSource.reset(); }

bool ReserveSampleBytes(std::uint64_t bytes) {
    const std::optional<std::uint64_t> source = boundSource ? boundSource : KnownStreamLength();
    if (source) {
        const std::uint64_t bound = SampleBytesBound(*source);
        if (bytes > bound || sampleBytesReserved > bound - bytes) return false;
    }
    sampleBytesReserved += bytes;
    return true;
}

void ReleaseModelBuffers() {
    sampleBytesReserved = 0;
    for (auto& pattern : patternTable) {
        if (pattern.data != nullptr) services.release(pattern.data);
        pattern = {};
    }
    for (auto& slot : instrumentTable) ReleaseInstrument(slot);
}

}  // namespace tunepak
