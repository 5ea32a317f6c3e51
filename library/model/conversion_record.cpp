#include "model/conversion_record.h"

#include <array>
#include <cstring>
#include <limits>

namespace tunepak {

namespace {

struct Record {
    std::array<ConversionNote, conversionNoteSlots> notes{};
    std::size_t used = 0;
    int pattern = -1;
    int row = -1;
};
Record record;

constexpr std::size_t overflowSlot = conversionNoteSlots - 1;

bool SameLabel(const char* a, const char* b) { return a == b || std::strcmp(a, b) == 0; }

void Add(ConversionKind kind, const char* label, std::uint32_t count, std::uint64_t frames) {
    if (count == 0) return;
    ConversionNote* note = nullptr;
    for (std::size_t i = 0; i < record.used && note == nullptr; ++i) {
        ConversionNote& candidate = record.notes[i];
        if (candidate.kind == kind && SameLabel(candidate.label, label)) note = &candidate;
    }
    if (note == nullptr) {
        if (record.used < overflowSlot) {
            note = &record.notes[record.used++];
            *note = {kind, label, 0, record.pattern, record.row, 0};
        } else {
            note = &record.notes[overflowSlot];
            if (record.used == overflowSlot) {
                record.used = conversionNoteSlots;
                *note = {ConversionKind::overflow, "further kinds, not listed one by one", 0,
                         record.pattern, record.row, 0};
            }
        }
    }
    // Counts stop at their ceiling rather than wrap round.
    constexpr std::uint32_t ceiling = std::numeric_limits<std::uint32_t>::max();
    note->count = count > ceiling - note->count ? ceiling : note->count + count;
    note->frames += frames;
}

}  // namespace

std::span<const ConversionNote> ConversionNotes() {
    return std::span(record.notes).first(record.used);
}

void ClearConversionRecord() { record = {}; }

void SetConversionPlace(int pattern, int row) {
    record.pattern = pattern;
    record.row = row;
}

void ClearConversionPlace() { SetConversionPlace(-1, -1); }

void NoteDroppedEffect(const char* label) { Add(ConversionKind::droppedEffect, label, 1, 0); }
void NoteLostVolumeEffect(const char* label) {
    Add(ConversionKind::lostVolumeEffect, label, 1, 0);
}
void NoteChangedParameter(const char* label) {
    Add(ConversionKind::changedParameter, label, 1, 0);
}
void NoteOutOfRange(const char* label) { Add(ConversionKind::noteOutOfRange, label, 1, 0); }
void NoteChannelBeyondLimit(const char* label) {
    Add(ConversionKind::channelBeyondLimit, label, 1, 0);
}
void NoteBeyondLimit(const char* label, std::uint32_t count) {
    Add(ConversionKind::beyondLimit, label, count, 0);
}
void NoteDiscarded(const char* label, std::uint32_t count) {
    Add(ConversionKind::discarded, label, count, 0);
}
void NoteSampleCut(std::uint64_t framesMissing) {
    Add(ConversionKind::sampleCut, sampleCutLabel, 1, framesMissing);
}
void NoteCompressedSample(const char* label) {
    Add(ConversionKind::compressedSample, label, 1, 0);
}
void NoteAssumedLayout(const char* label) { Add(ConversionKind::assumedLayout, label, 1, 0); }

}  // namespace tunepak
