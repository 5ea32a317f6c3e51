// The texts of tunepak-info: the summary for people, the pattern grid, and the JSON document.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "info.h"

namespace tunepak {

// One event of a row-packed pattern, its parts as stored.
struct PatternEvent {
    int row = 0;
    int channel = 0;
    bool hasEffect = false;
    std::uint8_t command = 0;
    std::uint8_t parameter = 0;
    bool hasNote = false;  // the instrument-and-note part
    std::uint8_t instrument = 0;
    std::uint8_t note = 0;
    bool hasVolume = false;
    std::uint8_t volume = 0;
};

struct DecodedPattern {
    std::vector<PatternEvent> events;
    int rowsRead = 0;      // rows whose closing byte was found
    bool complete = true;  // false when the data ends before the last row does
};

// Reads a row-packed block event by event, never past its end.
DecodedPattern DecodeRowPacked(std::span<const std::uint8_t> block);

// A row-packed note byte as trackers show it: "C-5", "===" for key off, "..." for none, and
// "?" with the value in hex for a byte without a note of its own.
std::string NoteName(std::uint8_t note);

// A row-packed pattern as a grid: one line per row, one column per channel (at least
// `channels`, more when an event names a higher one), each line starting with `indent`.
std::string PatternGrid(const PatternSummary& pattern, int channels, const std::string& indent);

// The report of one file for people; with `patterns`, every row-packed pattern as a grid.
std::string TextReport(const FileReport& report, bool patterns);

// The report of one file as one JSON document on one line; with `patterns`, every row-packed
// pattern's events.
std::string JsonReport(const FileReport& report, bool patterns);

}  // namespace tunepak
