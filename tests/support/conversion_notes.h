// Reading the conversion record back in the loader tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "model/conversion_record.h"
#include "model/player.h"
#include "test_support.h"

namespace tunepak {

// The kinds of note, as the tests' tables of expected notes name them.
using Kind = ConversionKind;

namespace test {

// A conversion note as the tests compare it.
struct Noted {
    ConversionKind kind = ConversionKind::discarded;
    std::string label;
    std::uint32_t count = 0;
    int pattern = -1;
    int row = -1;
    std::uint64_t frames = 0;
    bool operator==(const Noted&) const = default;
};

inline void PrintTo(const Noted& note, std::ostream* out) {
    *out << "{kind " << static_cast<int>(note.kind) << ", \"" << note.label << "\", count "
         << note.count << ", pattern " << note.pattern << " row " << note.row << ", frames "
         << note.frames << "}";
}

// The notes of the last load, in the record's order.
inline std::vector<Noted> Notes() {
    std::vector<Noted> notes;
    for (const ConversionNote& note : ConversionNotes()) {
        notes.push_back({note.kind, note.label, note.count, note.pattern, note.row, note.frames});
    }
    return notes;
}

// Converts `bytes` twice, reading the record only after the second load: both images must be
// the same, and the second load's notes those of the first, not added to them.
inline void ExpectRecordingChangesNoByte(std::span<const std::uint8_t> bytes) {
    ASSERT_EQ(LoadFromBytes(bytes), ResultOk);
    const Bytes unread = WriteImage();
    const std::vector<Noted> first = Notes();
    ReleaseModule();
    ASSERT_EQ(LoadFromBytes(bytes), ResultOk);
    EXPECT_FALSE(Notes().empty()) << "the module was meant to lose something";
    EXPECT_EQ(Notes(), first);
    EXPECT_EQ(WriteImage(), unread);
    ReleaseModule();
}

// Loads `bytes` and expects the record to hold `expected`, then that recording changes no byte.
inline void ExpectNotes(std::span<const std::uint8_t> bytes, const std::vector<Noted>& expected) {
    ASSERT_EQ(LoadFromBytes(bytes), ResultOk);
    EXPECT_EQ(Notes(), expected);
    ReleaseModule();
    ExpectRecordingChangesNoByte(bytes);
}

}  // namespace test
}  // namespace tunepak
