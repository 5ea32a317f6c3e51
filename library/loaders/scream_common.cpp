#include "loaders/scream_common.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "io/services.h"

namespace tunepak::scream {

std::uint64_t ModuleStart(void* stream) {
    const long start = services.tell(stream);
    return start < 0 ? 0 : static_cast<std::uint64_t>(start);
}

void SeekFromStart(void* stream, std::uint64_t start, std::uint64_t offset) {
    constexpr std::uint64_t farthest = std::numeric_limits<std::int32_t>::max();
    const std::uint64_t position = std::min(start + offset, farthest);
    services.seek(stream, static_cast<std::int32_t>(position), 0);
}

void CopyName(std::array<char, 28>& to, std::span<const std::uint8_t> from) {
    to.fill(0);
    std::memcpy(to.data(), from.data(), std::min(to.size(), from.size()));
}

std::uint8_t* NewNamedInstrument(std::size_t slot, std::uint8_t sampleCount,
                                 std::span<const std::uint8_t> name) {
    std::uint8_t* block = NewInstrument(slot, sampleCount);
    if (block != nullptr) CopyName(RecordOf(block).name, name);
    return block;
}

bool PackedRows::Next(PackedCell& cell) {
    if (position_ >= data_.size()) return false;
    const std::uint8_t flag = data_[position_];
    if (flag == 0) {
        ++position_;
        return false;
    }
    std::size_t length = 1;
    for (int part = 0; part < 3; ++part) {
        if (flag & (0x20 << part)) length += widths_[static_cast<std::size_t>(part)];
    }
    if (length > data_.size() - position_) {
        position_ = data_.size();  // an incomplete cell: nothing more of this pattern is read
        return false;
    }
    cell = {};
    cell.flag = flag;
    std::size_t at = position_ + 1;
    for (int part = 0; part < 3; ++part) {
        if (!(flag & (0x20 << part))) continue;
        auto& bytes = cell.parts[static_cast<std::size_t>(part)];
        const std::uint8_t width = widths_[static_cast<std::size_t>(part)];
        std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(at), width, bytes.begin());
        at += width;
    }
    position_ = at;
    return true;
}

Effect VolumeSlide(std::uint8_t parameter) {
    const int x = parameter >> 4;
    const int y = parameter & 0x0F;
    if (y == 0x0F && x != 0) return Extended(ExtFineVolUp, x);
    if (parameter >= 0xF1 && parameter <= 0xFE) return Extended(ExtFineVolDown, y);
    return {EffectVolSlide, y != 0 ? static_cast<std::uint8_t>(y) : parameter};
}

Effect PitchSlide(std::uint8_t parameter, EffectCommand coarse, ExtendedCommand fine) {
    const int y = parameter & 0x0F;
    if (parameter >= 0xF0) return Extended(fine, y);
    if (parameter >= 0xE0) return Extended(fine, (y + 2) >> 2);
    return {coarse, parameter};
}

}  // namespace tunepak::scream
