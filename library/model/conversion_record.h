// What a conversion drops or changes: the loaders count each kind of loss here while they work,
// so that a musician can be told what the converted module lacks. The record only watches; it
// never changes what is loaded or written. LoadModule clears it; it stays readable after
// ReleaseModule until the next load.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tunepak {

enum class ConversionKind : std::uint8_t {
    droppedEffect,       // a source effect with no internal equivalent
    lostVolumeEffect,    // a volume-column effect that could not be kept
    changedParameter,    // an effect or volume kept with its value limited or rounded
    noteOutOfRange,      // a note that the model cannot play
    channelBeyondLimit,  // an event on a channel that a pattern cannot hold
    beyondLimit,         // instruments, samples, orders or envelope points beyond the model's
    sampleCut,           // a sample whose data ends before its length
    compressedSample,    // a compressed sample, decoded
    discarded,           // anything else that a loader leaves out
    assumedLayout,       // a way of reading the file that the file does not state for certain
    overflow,            // kinds that did not fit the record, counted together
};

// One kind of loss: its label (a static text naming the source's own feature, such as
// "S3M I (tremor)"), how often it occurred, and the pattern and row of its first occurrence
// (-1 when it did not occur while a pattern was converted).
struct ConversionNote {
    ConversionKind kind = ConversionKind::discarded;
    const char* label = "";
    std::uint32_t count = 0;
    int pattern = -1;
    int row = -1;
    std::uint64_t frames = 0;  // sample cuts: the frames missing in all
};

// The labels of the notes that sample preparation makes.
inline constexpr const char* sampleCutLabel = "sample data ending early";
inline constexpr const char* compressedSampleLabel = "compressed sample data, decoded";
inline constexpr const char* adpcmSampleLabel = "ModPlug 4-bit ADPCM sample data, decoded";

// The record holds this many notes; the last one is kept for the overflow.
inline constexpr std::size_t conversionNoteSlots = 64;

// The notes of the last load, in the order of their first occurrence.
std::span<const ConversionNote> ConversionNotes();
void ClearConversionRecord();

// Where pattern events are being converted. The pattern emitter keeps this up to date, so that
// whatever a loader notes while it converts a cell is placed at that cell's pattern and row.
void SetConversionPlace(int pattern, int row);
void ClearConversionPlace();

// Each counts one occurrence (or `count`) under `label`, which must be a static text.
void NoteDroppedEffect(const char* label);
void NoteLostVolumeEffect(const char* label);
void NoteChangedParameter(const char* label);
void NoteOutOfRange(const char* label);
void NoteChannelBeyondLimit(const char* label);
void NoteBeyondLimit(const char* label, std::uint32_t count = 1);
void NoteDiscarded(const char* label, std::uint32_t count = 1);
void NoteSampleCut(std::uint64_t framesMissing);
void NoteCompressedSample(const char* label = compressedSampleLabel);
// A layout taken on trust: a variant of a signature, or a reading that the file's size or
// plausible headers suggest.
void NoteAssumedLayout(const char* label);

}  // namespace tunepak
