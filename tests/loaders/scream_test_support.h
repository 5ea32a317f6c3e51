// Reading converted patterns back for the S3M, STM and PTM loader tests.
#pragma once

#include <cstddef>
#include <vector>

#include "model/patterns.h"
#include "test_support.h"

namespace tunepak::test::scream {

// The events of each row of pattern `number`, without the rows' closing zeros.
inline std::vector<Bytes> RowEvents(std::size_t number) {
    const auto block = Pattern(number);
    std::vector<Bytes> rows;
    std::size_t at = 1;
    for (std::size_t row = 0; !block.empty() && row <= block[0]; ++row) {
        Bytes events;
        while (at < block.size() && block[at] != 0) {
            const std::uint8_t flag = block[at];
            const std::size_t length = 1 + ((flag & hasEffect) ? 2 : 0) +
                                       ((flag & hasNote) ? 2 : 0) + ((flag & hasVolume) ? 1 : 0);
            for (std::size_t i = 0; i < length && at < block.size(); ++i) events.push_back(block[at++]);
        }
        ++at;
        rows.push_back(events);
    }
    EXPECT_EQ(at, block.size()) << "pattern " << number << " does not end after its last row";
    return rows;
}

// Whether every row from `first` on is empty.
inline bool EmptyFrom(const std::vector<Bytes>& rows, std::size_t first) {
    for (std::size_t row = first; row < rows.size(); ++row) {
        if (!rows[row].empty()) return false;
    }
    return true;
}

}  // namespace tunepak::test::scream
