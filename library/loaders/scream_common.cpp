#include "loaders/scream_common.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "io/services.h"
#include "model/conversion_record.h"

namespace tunepak::scream {

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

Effect PitchSlide(std::uint8_t parameter, EffectCommand coarse, ExtendedCommand fine,
                  const char* rounded) {
    const int y = parameter & 0x0F;
    if (parameter >= 0xF0) return Extended(fine, y);
    if (parameter >= 0xE0) {
        if ((y & 3) != 0) NoteChangedParameter(rounded);
        return Extended(fine, (y + 2) >> 2);
    }
    return {coarse, parameter};
}

}  // namespace tunepak::scream
