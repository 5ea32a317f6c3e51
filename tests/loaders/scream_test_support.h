// Reading converted patterns back for the S3M, STM and PTM loader tests.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <vector>

#include "model/patterns.h"
#include "packed_rows.h"
#include "test_support.h"

namespace tunepak::test::scream {

// The events of each row of pattern `number`, without the rows' closing zeros.
inline std::vector<Bytes> RowEvents(std::size_t number) { return PatternRows(number); }

// One source pattern of packed rows (S3M, PTM): the first rows given, the rest empty.
inline Bytes PackedRows(std::initializer_list<Bytes> rows) {
    Bytes packed;
    for (const Bytes& row : rows) {
        packed.insert(packed.end(), row.begin(), row.end());
        packed.push_back(0);
    }
    packed.resize(packed.size() + 64 - rows.size(), 0);
    return packed;
}

// Whether every row from `first` on is empty.
inline bool EmptyFrom(const std::vector<Bytes>& rows, std::size_t first) {
    for (std::size_t row = first; row < rows.size(); ++row) {
        if (!rows[row].empty()) return false;
    }
    return true;
}

}  // namespace tunepak::test::scream
