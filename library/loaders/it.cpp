// IT modules: song header "IMPM", instruments "IMPI", samples "IMPS" and packed patterns, all
// located by offsets from the start of the module. With the header's instrument flag each IT
// instrument becomes one instrument record holding the samples its keyboard names; without it
// each IT sample becomes an instrument of its own.

#include <algorithm>
#include <array>
#include <bitset>
#include <cstring>
#include <limits>

#include "io/services.h"
#include "io/stream_reader.h"
#include "loaders/it_compression.h"
#include "loaders/common.h"
#include "loaders/loaders.h"
#include "loaders/scream_common.h"
#include "model/conversion_record.h"
#include "model/patterns.h"

namespace tunepak {

namespace {

struct ItHeader {
    std::array<char, 4> id;  // "IMPM"
    std::array<char, 26> name;
    std::array<std::uint8_t, 2> highlight;
    Le16 orderCount;
    Le16 instrumentCount;
    Le16 sampleCount;
    Le16 patternCount;
    Le16 createdWith;
    Le16 compatibleWith;
    Le16 flags;
    Le16 special;
    std::uint8_t globalVolume;
    std::uint8_t mixVolume;
    std::uint8_t speed;
    std::uint8_t tempo;
    std::uint8_t separation;
    std::uint8_t pitchWheelDepth;
    Le16 messageLength;
    Le32 messageOffset;
    Le32 reserved;
    std::array<std::uint8_t, 64> channelPan;
    std::array<std::uint8_t, 64> channelVolume;
};
static_assert(sizeof(ItHeader) == 192);

// Header flags.
constexpr std::uint16_t useInstruments = 0x04;
constexpr std::uint16_t linearSlides = 0x08;

struct ItEnvelopeNode {
    std::uint8_t value;  // volume 0..64, or pan -32..32 as a signed byte
    Le16 tick;
};

struct ItEnvelope {
    std::uint8_t flags;  // bit 0 on, bit 1 loop, bit 2 sustain loop
    std::uint8_t nodeCount;
    std::uint8_t loopBegin;
    std::uint8_t loopEnd;
    std::uint8_t sustainBegin;
    std::uint8_t sustainEnd;
    std::array<ItEnvelopeNode, 25> nodes;
    std::uint8_t reserved;
};
static_assert(sizeof(ItEnvelope) == 82);

// How instrument and sample records begin: their id and the DOS file name they were saved under.
struct ItRecordStart {
    std::array<char, 4> id;  // "IMPI" or "IMPS"
    std::array<char, 12> fileName;
    std::uint8_t zero;
};
static_assert(sizeof(ItRecordStart) == 17);

// The part of an instrument that is read: everything up to the pitch envelope's end.
struct ItInstrument {
    ItRecordStart start;
    std::uint8_t newNoteAction;
    std::uint8_t duplicateCheckType;
    std::uint8_t duplicateCheckAction;
    Le16 fadeOut;
    std::uint8_t pitchPanSeparation;
    std::uint8_t pitchPanCentre;
    std::uint8_t globalVolume;
    std::uint8_t defaultPan;
    std::uint8_t randomVolume;
    std::uint8_t randomPan;
    Le16 trackerVersion;
    std::uint8_t sampleCount;
    std::uint8_t unused;
    std::array<char, 26> name;
    std::array<std::uint8_t, 6> filterAndMidi;
    std::array<std::uint8_t, 240> keyboard;  // 120 pairs of (note, sample 1-based, 0 = none)
    ItEnvelope volumeEnvelope;
    ItEnvelope panningEnvelope;
    ItEnvelope pitchEnvelope;
};
static_assert(sizeof(ItInstrument) == 550);

struct ItSample {
    ItRecordStart start;
    std::uint8_t globalVolume;
    std::uint8_t flags;
    std::uint8_t volume;
    std::array<char, 26> name;
    std::uint8_t convert;
    std::uint8_t defaultPan;
    Le32 length;
    Le32 loopBegin;
    Le32 loopEnd;
    Le32 c5Speed;
    Le32 sustainBegin;
    Le32 sustainEnd;
    Le32 dataOffset;
    std::array<std::uint8_t, 4> vibrato;
};
static_assert(sizeof(ItSample) == 80);

// Sample flags, convert flags and the default pan's enable bit.
constexpr std::uint8_t itSixteenBit = 0x02;
constexpr std::uint8_t itCompressed = 0x08;
constexpr std::uint8_t itLoop = 0x10;
constexpr std::uint8_t itSustainLoop = 0x20;
constexpr std::uint8_t itPingPong = 0x40;
constexpr std::uint8_t itSigned = 0x01;
constexpr std::uint8_t itDelta = 0x04;  // with compression: the 2.15 variant
constexpr std::uint8_t itPanEnabled = 0x80;
constexpr std::uint8_t itStereo = 0x04;
constexpr std::uint8_t fullSampleVolume = 64;
constexpr std::size_t vibratoDepth = 1;  // of the sample's speed, depth, rate and type

// Instrument settings: the new note action that cuts the note before, the full global volume,
// the default pan's "not used" bit and the filter cutoff's enable bit.
constexpr std::uint8_t newNoteCut = 0;
constexpr std::uint8_t fullInstrumentVolume = 128;
constexpr std::uint8_t itPanDisabled = 0x80;
constexpr std::uint8_t filterEnabled = 0x80;

struct ItPatternHeader {
    Le16 packedLength;
    Le16 rows;
    std::array<std::uint8_t, 4> reserved;
};
static_assert(sizeof(ItPatternHeader) == 8);

constexpr std::size_t maxInstruments = 128;
constexpr std::size_t maxOffsets = 256;
constexpr std::size_t maxPackedBytes = 57344;
constexpr int maxRows = 256;
constexpr int itChannels = 64;
constexpr std::uint8_t maxOrders = 255;
constexpr std::uint8_t orderEnd = 255;
constexpr std::uint8_t orderSkip = 254;
constexpr std::uint8_t outOfRangePan = 160;  // centre, in the mixer's alternative stereo mode
constexpr std::uint8_t channelDisabled = 0x80;  // of a channel's pan
constexpr std::uint8_t fullChannelVolume = 64;
constexpr std::size_t envelopePoints = 10;

using OffsetTable = std::array<std::uint32_t, maxOffsets>;

// --- Instruments and samples ---------------------------------------------------------------------

// Notes what a sample plays with in IT that its header cannot keep.
void NoteSampleLosses(const ItSample& source) {
    if (source.flags & itSustainLoop) NoteDiscarded("IT samples with a sustain loop");
    if (source.flags & itStereo) NoteDiscarded("IT stereo samples, kept as their left channel");
    if (source.globalVolume < fullSampleVolume) NoteDiscarded("IT sample global volumes below 64");
    if (source.vibrato[vibratoDepth] != 0) NoteDiscarded("IT sample vibrato");
}

// Notes what an instrument does in IT that its record cannot keep.
void NoteInstrumentLosses(const ItInstrument& source) {
    if (source.newNoteAction != newNoteCut) NoteDiscarded("IT new note actions other than cut");
    if (source.globalVolume < fullInstrumentVolume) {
        NoteDiscarded("IT instrument global volumes below 128");
    }
    if (!(source.defaultPan & itPanDisabled)) NoteDiscarded("IT instrument default pans");
    if (source.pitchPanSeparation != 0) NoteDiscarded("IT instrument pitch-pan separation");
    if (source.randomVolume != 0) NoteDiscarded("IT instrument random volume variation");
    if (source.randomPan != 0) NoteDiscarded("IT instrument random pan variation");
    if (source.filterAndMidi[0] & filterEnabled) NoteDiscarded("IT instrument filter cutoff");
}

// Fills a sample header from an IT sample (the name is the caller's), positions the stream at
// the data and reads it, decoding compressed data first.
int LoadSample(StreamReader& reader, const ItSample& source, SampleHeader& header,
               std::uint8_t*& data) {
    header.length = source.length;
    header.loopStart = source.loopBegin;
    header.loopEnd = source.loopEnd;
    header.volume = source.volume;
    header.flags = sampleMark;
    if (source.flags & itLoop) header.flags |= loop;
    if (source.flags & itSixteenBit) header.flags |= sixteenBit;
    if (source.flags & itPingPong) header.flags |= pingPong;
    if (source.defaultPan & itPanEnabled) header.flags |= usePan;
    header.pan = source.defaultPan & 0x7F;
    header.flags2 = 0;
    header.c5Rate = source.c5Speed;
    NoteSampleLosses(source);

    const SampleEncoding encoding{.unsignedValues = !(source.convert & itSigned)};
    if (!reader.Seek(source.dataOffset)) return PrepareUnreachableSample(header, data, encoding);
    if (source.flags & itCompressed) {
        return PrepareCompressedSample(header, data, reader.stream(),
                                       (source.convert & itDelta) != 0, encoding);
    }
    return PrepareSample(header, data, reader.stream(), encoding);
}

// IT envelope flags (on, loop, sustain loop) as the model's nibble (on, sustain, loop).
constexpr std::uint8_t EnvelopeFlagBits(std::uint8_t flags) {
    return static_cast<std::uint8_t>((flags & 0x01) | ((flags & 0x04) >> 1) | ((flags & 0x02) << 1));
}

// The index of an envelope's last node, kept within the points the record holds (0 nodes gives
// 0xFF, as the node count minus one on 8 bits).
constexpr std::uint8_t LastNode(std::uint8_t nodeCount) {
    return static_cast<std::uint8_t>(std::min<std::size_t>(nodeCount, envelopePoints) - 1);
}

void ConvertEnvelopes(const ItInstrument& source, InstrumentRecord& record) {
    const ItEnvelope& volume = source.volumeEnvelope;
    const ItEnvelope& panning = source.panningEnvelope;
    for (std::size_t k = 0; k < envelopePoints; ++k) {
        record.volumeEnvelope[k].position = static_cast<std::uint16_t>(volume.nodes[k].tick * 16);
        record.volumeEnvelope[k].value = volume.nodes[k].value;
        record.panningEnvelope[k].position = static_cast<std::uint16_t>(panning.nodes[k].tick * 16);
        record.panningEnvelope[k].value = static_cast<std::uint8_t>(panning.nodes[k].value + 32);
    }
    record.envelopeFlags = static_cast<std::uint8_t>(EnvelopeFlagBits(volume.flags) |
                                                     (EnvelopeFlagBits(panning.flags) << 4));
    record.envelopeLastPoint =
        static_cast<std::uint8_t>(LastNode(volume.nodeCount) | (LastNode(panning.nodeCount) << 4));
    const auto nibbles = [](std::uint8_t low, std::uint8_t high) {
        return static_cast<std::uint8_t>((low & 0x0F) | (high << 4));
    };
    record.envelopeSustain = nibbles(volume.sustainBegin, panning.sustainBegin);
    record.envelopeLoopStart = nibbles(volume.loopBegin, panning.loopBegin);
    record.envelopeLoopEnd = nibbles(volume.loopEnd, panning.loopEnd);
    if (((volume.flags & 1) && volume.nodeCount > envelopePoints) ||
        ((panning.flags & 1) && panning.nodeCount > envelopePoints)) {
        NoteBeyondLimit("IT instruments with envelopes of more than 10 nodes");
    }
    if (source.pitchEnvelope.flags & 1) {
        NoteDiscarded("IT instruments with a pitch or filter envelope");
    }
}

// The distinct samples a keyboard names, in order of first appearance, and the local index of
// each note's sample. Sample numbers beyond the module's samples count as none.
struct LocalSamples {
    std::array<std::uint8_t, 120> samples{};  // IT sample numbers, 1-based
    std::size_t count = 0;
    std::array<std::uint8_t, 120> map{};
};

LocalSamples NumberSamples(const ItInstrument& source, std::size_t moduleSamples) {
    LocalSamples local;
    std::array<std::uint8_t, 256> localOf{};  // 1-based local number of each IT sample
    for (std::size_t k = 0; k < local.map.size(); ++k) {
        const std::uint8_t sample = source.keyboard[2 * k + 1];
        if (sample == 0 || sample > moduleSamples) continue;
        if (localOf[sample] == 0) {
            local.samples[local.count++] = sample;
            localOf[sample] = static_cast<std::uint8_t>(local.count);
        }
        local.map[k] = static_cast<std::uint8_t>(localOf[sample] - 1);
    }
    return local;
}

// Where a source sample was first prepared: several instruments may play one sample, and each
// keeps its own copy, but its data is read and decoded once.
struct PreparedSample {
    std::size_t slot = 0;
    std::size_t index = 0;
    bool done = false;
};

// Copies a prepared sample (header and frames with their run-out tail) into another header.
int CopyPreparedSample(const PreparedSample& from, SampleHeader& header, std::uint8_t*& data) {
    const InstrumentSlot& source = instrumentTable[from.slot];
    const SampleHeader& prepared = SampleOf(source.block, from.index);
    header = prepared;
    const std::uint8_t* frames = source.sampleData[from.index];
    if (frames == nullptr) return ResultOk;
    const auto bytes = static_cast<std::size_t>((prepared.length + RunOutTail(prepared)) *
                                                SampleWidth(prepared));
    if (!ReserveSampleBytes(bytes)) return ResultNoSampleMemory;
    data = static_cast<std::uint8_t*>(services.allocate(bytes));
    if (data == nullptr) return ResultNoSampleMemory;
    std::memcpy(data, frames, bytes);
    return ResultOk;
}

int LoadInstruments(StreamReader& reader, const ItHeader& header,
                    const OffsetTable& instrumentOffsets, const OffsetTable& sampleOffsets) {
    std::array<PreparedSample, maxOffsets> prepared{};
    const std::size_t count = std::min<std::size_t>(header.instrumentCount, maxInstruments);
    if (header.instrumentCount > count) {
        NoteBeyondLimit("IT instruments beyond 128",
                        static_cast<std::uint32_t>(header.instrumentCount - count));
    }
    for (std::size_t i = 0; i < count; ++i) {
        const auto source = reader.ReadAt<ItInstrument>(instrumentOffsets[i]);
        const bool valid = std::memcmp(source.start.id.data(), "IMPI", 4) == 0;
        const LocalSamples local = valid ? NumberSamples(source, header.sampleCount) : LocalSamples{};

        std::uint8_t* block = NewInstrument(i, static_cast<std::uint8_t>(local.count));
        if (block == nullptr) return ResultNoMemory;
        InstrumentRecord& record = RecordOf(block);
        CopyName(record.name, source.name);
        if (!valid) continue;
        record.sampleMap = local.map;
        record.fadeOut = source.fadeOut;
        ConvertEnvelopes(source, record);
        NoteInstrumentLosses(source);

        // Each header counts once it is read, so a failure leaves a consistent record.
        record.sampleCount = 0;
        record.size = static_cast<std::uint32_t>(InstrumentBlockSize(0) - 8);
        for (std::size_t j = 0; j < local.count; ++j) {
            const std::size_t number = local.samples[j] - 1u;
            if (prepared[number].done) {
                record.sampleCount = static_cast<std::uint8_t>(j + 1);
                record.size = static_cast<std::uint32_t>(InstrumentBlockSize(j + 1) - 8);
                const int result = CopyPreparedSample(prepared[number], SampleOf(block, j),
                                                      instrumentTable[i].sampleData[j]);
                if (result != ResultOk) return result;
                continue;
            }
            const auto sample = reader.ReadAt<ItSample>(sampleOffsets[number]);
            SampleHeader& target = SampleOf(block, j);
            record.sampleCount = static_cast<std::uint8_t>(j + 1);
            record.size = static_cast<std::uint32_t>(InstrumentBlockSize(j + 1) - 8);
            CopyName(target.name, sample.name, 22);
            if (sample.length != 0) {
                const int result =
                    LoadSample(reader, sample, target, instrumentTable[i].sampleData[j]);
                if (result != ResultOk) return result;
            }
            prepared[number] = {i, j, true};
        }
    }
    return ResultOk;
}

int LoadSampleInstruments(StreamReader& reader, const ItHeader& header,
                          const OffsetTable& sampleOffsets) {
    const std::size_t count = std::min<std::size_t>(header.sampleCount, maxInstruments);
    if (header.sampleCount > count) {
        NoteBeyondLimit("IT samples beyond 128",
                        static_cast<std::uint32_t>(header.sampleCount - count));
    }
    for (std::size_t s = 0; s < count; ++s) {
        const auto source = reader.ReadAt<ItSample>(sampleOffsets[s]);
        const bool valid = std::memcmp(source.start.id.data(), "IMPS", 4) == 0;

        std::uint8_t* block = NewInstrument(s, valid ? 1 : 0);
        if (block == nullptr) return ResultNoMemory;
        CopyName(RecordOf(block).name, source.name);
        if (!valid) continue;
        SampleHeader& target = SampleOf(block, 0);
        CopyName(target.name, source.name);
        const int result = LoadSample(reader, source, target, instrumentTable[s].sampleData[0]);
        if (result != ResultOk) return result;
    }
    return ResultOk;
}

// --- Patterns ------------------------------------------------------------------------------------

// What each channel remembers from one entry to the next, across all patterns of the load.
struct ChannelMemory {
    std::uint8_t mask = 0;
    std::uint8_t note = noNote;  // the row-packed note byte
    bool noteCut = false;        // the remembered note was a cut
    std::uint8_t instrument = 0;
    std::uint8_t volume = 0;     // the volume column byte as read
    std::uint8_t command = 0;
    std::uint8_t parameter = 0;
    std::array<std::uint8_t, 3> ownValues{};  // the last non-zero J, Q and S values
};
using ChannelMemories = std::array<ChannelMemory, itChannels>;
using UsedChannels = std::bitset<packedChannels>;

// Mask bits of a packed entry.
constexpr std::uint8_t readNote = 0x01;
constexpr std::uint8_t readInstrument = 0x02;
constexpr std::uint8_t readVolume = 0x04;
constexpr std::uint8_t readCommand = 0x08;
constexpr std::uint8_t lastNote = 0x10;
constexpr std::uint8_t lastInstrument = 0x20;
constexpr std::uint8_t lastVolume = 0x40;
constexpr std::uint8_t lastCommand = 0x80;

constexpr std::uint8_t noteCutByte = 254;
constexpr std::uint8_t noteOffByte = 255;

// The volume column's effects (the byte's values above 64), by their ranges.
struct VolumeColumnRange {
    std::uint8_t last;
    const char* label;
};
constexpr std::array<VolumeColumnRange, 11> volumeColumnRanges = {{
    {74, "IT volume column A (fine volume up)"},        // 65..74
    {84, "IT volume column B (fine volume down)"},      // 75..84
    {94, "IT volume column C (volume slide up)"},       // 85..94
    {104, "IT volume column D (volume slide down)"},    // 95..104
    {114, "IT volume column E (portamento down)"},      // 105..114
    {124, "IT volume column F (portamento up)"},        // 115..124
    {127, "IT volume column values 125 to 127"},        // unused
    {192, "IT volume column panning"},                  // 128..192
    {202, "IT volume column G (tone portamento)"},      // 193..202
    {212, "IT volume column H (vibrato depth)"},        // 203..212
    {255, "IT volume column values above 212"},         // unused
}};

// Notes a volume-column byte above 64, which has no place in an event.
void NoteVolumeColumnEffect(std::uint8_t value) {
    for (const VolumeColumnRange& range : volumeColumnRanges) {
        if (value <= range.last) {
            NoteLostVolumeEffect(range.label);
            return;
        }
    }
}

// The row-packed note byte of an IT note: 0..119 are notes, 255 is a key off, a cut (254) is
// handled by the caller, and the rest is carried unchanged.
constexpr std::uint8_t NoteOf(std::uint8_t itNote) {
    if (itNote < 120) return NoteByte(itNote);
    if (itNote == noteOffByte) return keyOff;
    return itNote;
}

// The letters whose zero repeats their own last value in Impulse Tracker, where the converted
// command remembers nothing: a zero there is kept as no arpeggio, no retrigger, no action.
struct OwnMemory {
    std::uint8_t letter;
    const char* label;
};
constexpr std::array<OwnMemory, 3> ownMemories = {{
    {10, "IT J00 (arpeggio from memory), kept as none"},
    {17, "IT Q00 (retrigger from memory), kept as none"},
    {19, "IT S00 (special from memory), kept as none"},
}};

// Notes a zero value that Impulse Tracker would take from a memory holding something else, and
// keeps the memories up to date.
void NoteRecalledZero(std::uint8_t command, std::uint8_t parameter, ChannelMemory& memory) {
    for (std::size_t k = 0; k < ownMemories.size(); ++k) {
        if (command == ownMemories[k].letter) {
            RememberOrNoteRecalledZero(parameter, memory.ownValues[k], ownMemories[k].label);
        }
    }
}

// Decodes the entry at `at` (its channel byte is not 0) into `event` and moves past it. An entry
// whose bytes run past the data is left alone: false, nothing changed.
bool DecodeEntry(std::span<const std::uint8_t> data, std::size_t& at, ChannelMemories& memories,
                 Event& event) {
    const std::uint8_t channelByte = data[at];
    ChannelMemory& memory = memories[static_cast<std::size_t>((channelByte - 1) & (itChannels - 1))];
    std::size_t p = at + 1;
    std::uint8_t mask = memory.mask;
    if (channelByte & 0x80) {
        if (p >= data.size()) return false;
        mask = data[p++];
    }
    const std::size_t needed = ((mask & readNote) ? 1u : 0u) + ((mask & readInstrument) ? 1u : 0u) +
                               ((mask & readVolume) ? 1u : 0u) + ((mask & readCommand) ? 2u : 0u);
    if (data.size() - p < needed) return false;

    event = Event{.channel = (channelByte - 1) & (itChannels - 1)};
    memory.mask = mask;
    if (mask & readNote) {
        const std::uint8_t note = data[p++];
        if (note >= 120 && note < noteCutByte) {
            NoteOutOfRange("IT note fades (note values 120 to 253)");
        }
        memory.noteCut = note == noteCutByte;
        memory.note = memory.noteCut ? noNote : NoteOf(note);
    }
    if (mask & readInstrument) memory.instrument = data[p++];
    if (mask & readVolume) memory.volume = data[p++];
    std::uint8_t command = 0;
    std::uint8_t parameter = 0;
    if (mask & readCommand) {
        command = memory.command = data[p++];
        parameter = data[p++];
        // The commands whose zero means last remember their parameter once it is resolved.
        if (!scream::RecallsInfo(scream::LetterFormat::it, command)) memory.parameter = parameter;
    }
    at = p;

    bool cut = false;
    if (mask & (readNote | lastNote)) {
        event.note = memory.note;
        cut = memory.noteCut;
    }
    if (mask & (readInstrument | lastInstrument)) event.instrument = memory.instrument;
    if (mask & (readVolume | lastVolume)) {
        if (memory.volume <= 64) {
            event.volume = memory.volume;
        } else {
            NoteVolumeColumnEffect(memory.volume);
        }
    }
    if (cut) event.volume = 0;  // a note cut silences the channel, whatever the volume column says
    if (mask & lastCommand) {
        command = memory.command;
        parameter = memory.parameter;
    }
    if (mask & (readCommand | lastCommand)) {
        NoteRecalledZero(command, parameter, memory);
        const scream::Effect effect =
            scream::TranslateLetter(scream::LetterFormat::it, command, parameter, memory.parameter);
        event.command = effect.command;
        event.parameter = effect.parameter;
    }
    return true;
}

// Converts one pattern. Rows beyond the data, or after an entry cut off by its end, stay empty.
// Entries of a damaged row beyond the 32 events that a row holds still update the memories.
int ConvertPattern(StreamReader& reader, std::uint32_t offset, std::size_t number,
                   WorkBuffer& packed, ChannelMemories& memories, UsedChannels& used) {
    const auto header = reader.ReadAt<ItPatternHeader>(offset);
    const int rows = header.rows;
    if (rows == 0 || rows > maxRows) return ResultOk;  // left absent
    const std::size_t wanted = std::min<std::size_t>(header.packedLength, maxPackedBytes);
    const std::size_t got = reader.Read(packed.span().first(wanted));
    const std::span<const std::uint8_t> data = packed.span().first(got);

    PatternEmitter emitter;
    if (!emitter.Begin(number, rows)) return ResultNoPatternMemory;
    std::size_t at = 0;
    bool intact = true;
    scream::RowDelayCheck delays;
    for (int row = 0; row < rows; ++row) {
        while (intact && at < data.size()) {
            if (data[at] == 0) {
                ++at;
                break;
            }
            Event event;
            intact = DecodeEntry(data, at, memories, event);
            if (!intact) break;
            delays.Add(event);
            if (emitter.Add(event)) used.set(static_cast<std::size_t>(event.channel));
        }
        delays.EndRow(
            "IT SEx of several values on one row (the first non-zero counts), kept as the last");
        emitter.EndRow();
    }
    emitter.Finish();
    return ResultOk;
}

// Converts the patterns that the order list reaches, and marks the channels that carry events.
int ConvertPatterns(StreamReader& reader, const OffsetTable& patternOffsets, UsedChannels& used) {
    WorkBuffer packed(maxPackedBytes, WorkBuffer::Fill::none);  // read before use
    if (!packed) return ResultNoMemory;
    ChannelMemories memories{};
    for (int o = 0; o <= song.lastOrder; ++o) {
        const std::uint8_t p = orderList[static_cast<std::size_t>(o)];
        if (p == orderSkip || p == orderEnd || patternTable[p].data != nullptr || patternOffsets[p] == 0) {
            continue;
        }
        const int result = ConvertPattern(reader, patternOffsets[p], p, packed, memories, used);
        if (result != ResultOk) return result;
    }
    return ResultOk;
}

// Notes the settings of the channels that carry events which the song cannot keep: their initial
// volumes, and the disabled channels' silence.
void NoteChannelLosses(const ItHeader& header, const UsedChannels& used) {
    std::uint32_t quieter = 0;
    std::uint32_t disabled = 0;
    for (std::size_t c = 0; c < used.size(); ++c) {
        if (!used[c]) continue;
        if (header.channelVolume[c] != fullChannelVolume) ++quieter;
        if (header.channelPan[c] & channelDisabled) ++disabled;
    }
    if (quieter != 0) NoteDiscarded("IT initial channel volumes other than 64", quieter);
    if (disabled != 0) NoteDiscarded("IT disabled channels, kept playing", disabled);
}

}  // namespace

int LoadIt(void* stream) {
    StreamReader reader(stream);
    const auto header = reader.Read<ItHeader>();
    CopyName(song.title, header.name);
    song.globalVolume = header.globalVolume;
    song.initialSpeed = header.speed;
    song.initialTempo = header.tempo;

    const std::uint8_t orders = static_cast<std::uint8_t>(std::min<std::size_t>(header.orderCount, maxOrders));
    reader.Read(std::span(orderList).first(orders));
    // Each offset table keeps its first 256 entries and passes over the rest.
    OffsetTable instrumentOffsets{};
    OffsetTable sampleOffsets{};
    OffsetTable patternOffsets{};
    if (!reader.Skip(header.orderCount - orders) ||
        !reader.ReadTable(instrumentOffsets, header.instrumentCount) ||
        !reader.ReadTable(sampleOffsets, header.sampleCount) ||
        !reader.ReadTable(patternOffsets, header.patternCount)) {
        return ResultBadFile;
    }

    for (std::size_t c = 0; c < packedChannels; ++c) {
        const std::uint8_t pan = header.channelPan[c];
        song.channelPan[c] = pan <= 64 ? pan : outOfRangePan;
    }
    const auto end = std::find(orderList.begin(), orderList.end(), orderEnd);
    const auto ends = static_cast<std::size_t>(end - orderList.begin());
    song.lastOrder = static_cast<std::uint8_t>(std::min<std::size_t>(ends, orders) - 1);

    const int loaded = (header.flags & useInstruments)
                           ? LoadInstruments(reader, header, instrumentOffsets, sampleOffsets)
                           : LoadSampleInstruments(reader, header, sampleOffsets);
    if (loaded != ResultOk) return loaded;
    UsedChannels used;
    if (const int result = ConvertPatterns(reader, patternOffsets, used); result != ResultOk) {
        return result;
    }

    song.songFlags = rowPacked;
    if (!(header.flags & linearSlides)) song.songFlags |= amigaSlides;
    FinishSong(linearPeriodLimits);
    NoteChannelLosses(header, used);
    return ResultOk;
}

}  // namespace tunepak
