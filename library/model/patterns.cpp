#include "model/patterns.h"

#include <algorithm>

#include "io/services.h"
#include "model/conversion_record.h"
#include "model/model.h"

namespace tunepak {

bool PatternEmitter::Begin(std::size_t number, int rows) {
    rows = std::clamp(rows, 1, 256);
    PatternSlot& slot = patternTable[number];
    if (slot.data != nullptr) services.release(slot.data);
    slot = {};
    capacity_ = MaxPackedPatternSize(rows);
    block_ = static_cast<std::uint8_t*>(services.allocate(capacity_));
    if (block_ == nullptr) return false;
    slot = {block_, capacity_};
    number_ = number;
    block_[0] = static_cast<std::uint8_t>(rows - 1);
    used_ = 1;
    rowsLeft_ = rows;
    row_ = 0;
    eventsInRow_ = 0;
    SetConversionPlace(static_cast<int>(number), row_);
    return true;
}

bool PatternEmitter::Refuse(int channel, bool carriesSomething) const {
    if (!carriesSomething) return false;
    if (channel < 0 || channel >= packedChannels) {
        NoteChannelBeyondLimit("events on channels beyond the first 32");
    } else if (rowsLeft_ != 0 && eventsInRow_ == packedChannels) {
        NoteChannelBeyondLimit("events beyond 32 in one row");
    }
    return false;
}

void PatternEmitter::EndRow() {
    if (rowsLeft_ == 0) return;
    block_[used_++] = 0;
    --rowsLeft_;
    eventsInRow_ = 0;
    SetConversionPlace(static_cast<int>(number_), ++row_);
}

void PatternEmitter::Finish() {
    PatternSlot& slot = patternTable[number_];
    if (auto* shrunk = static_cast<std::uint8_t*>(services.reallocate(block_, used_))) {
        block_ = shrunk;
    }
    slot = {block_, used_};
    capacity_ = used_;
    ClearConversionPlace();
}

PatternWalk WalkRowPacked(std::span<const std::uint8_t> block) {
    PatternWalk walk;
    if (block.empty()) return walk;
    const int rows = block[0] + 1;
    std::size_t p = 1;
    for (int row = 0; row < rows && p < block.size(); ++row) {
        while (p < block.size()) {
            const std::uint8_t flag = block[p++];
            if (flag == 0) break;
            if (flag & hasEffect) p += 2;
            if (flag & hasNote) {
                if (p < block.size() && block[p] != 0) walk.usedInstruments.set((block[p] - 1u) % 128);
                p += 2;
            }
            if (flag & hasVolume) p += 1;
        }
    }
    walk.length = std::min(p, block.size());
    return walk;
}

PatternWalk WalkEventStream(std::span<const std::uint8_t> block) {
    PatternWalk walk;
    const std::size_t size = block.size();
    std::size_t p = 0;
    auto at = [&](std::size_t i) -> std::uint8_t { return i < size ? block[i] : 0; };
    while (p < size) {
        if (p + 2 < size && block[p] == 0x80 && block[p + 1] == 0 && block[p + 2] == 0) {
            walk.length = p + 3;
            return walk;
        }
        const std::uint8_t flag = block[p++];
        if (flag & 0x80) p += 2;
        if (flag & 0x40) {
            const std::uint8_t type = at(p++);
            if (type == 0) {
                if (p < size) walk.usedInstruments.set(block[p] % 128u);
                p += 1;
            } else if (type == 4) {
                p += 2;
            } else if (type <= 6) {
                p += 1;
            }
        } else if ((at(p) & 0x80) == 0) {
            if (p + 2 < size) walk.usedInstruments.set(block[p + 2] % 128u);
            p += 5;
        } else {
            p += 2;
        }
    }
    walk.length = size;
    return walk;
}

}  // namespace tunepak
