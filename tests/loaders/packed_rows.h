// Reading a loaded row-packed pattern back row by row, for the loader tests.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "model/patterns.h"
#include "test_support.h"

namespace tunepak::test {

// The events of each row of pattern `number` (without the closing 0), one entry per row.
inline std::vector<Bytes> PatternRows(std::size_t number) {
    const auto block = Pattern(number);
    std::vector<Bytes> rows;
    if (block.empty()) return rows;
    std::size_t at = 1;
    for (int row = 0; row <= block[0] && at < block.size(); ++row) {
        Bytes events;
        while (at < block.size() && block[at] != 0) {
            const std::uint8_t flag = block[at];
            const std::size_t length = 1 + ((flag & hasEffect) ? 2 : 0) +
                                       ((flag & hasNote) ? 2 : 0) + ((flag & hasVolume) ? 1 : 0);
            const std::size_t end = std::min(at + length, block.size());
            events.insert(events.end(), block.begin() + static_cast<std::ptrdiff_t>(at),
                          block.begin() + static_cast<std::ptrdiff_t>(end));
            at = end;
        }
        ++at;  // the row's closing 0
        rows.push_back(events);
    }
    EXPECT_EQ(at, block.size()) << "pattern " << number << " has bytes after its last row";
    return rows;
}

}  // namespace tunepak::test
