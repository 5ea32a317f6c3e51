// MTM loader. An MTM pattern names one 64-row track per channel, and patterns share tracks; each
// pattern is assembled from its tracks and emitted like a MOD pattern, whose effect numbering
// MTM uses.

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <span>

#include "io/services.h"
#include "io/stream_reader.h"
#include "loaders/loaders.h"
#include "loaders/mod_common.h"
#include "model/conversion_record.h"
#include "model/model.h"
#include "model/patterns.h"

namespace tunepak {

namespace {

struct MtmHeaderRecord {
    std::array<char, 3> signature;  // "MTM", tested by the load entry
    std::uint8_t version;
    std::array<std::uint8_t, 20> title;
    Le16 trackCount;  // stored tracks 1..n; track 0 is the empty track and is not stored
    std::uint8_t lastPattern;
    std::uint8_t lastOrder;
    Le16 commentLength;
    std::uint8_t sampleCount;
    std::uint8_t attributes;    // not used
    std::uint8_t rowsPerTrack;  // not used: every track holds 64 rows
    std::uint8_t channels;      // not used: the track sequence always names 32
    std::array<std::uint8_t, 32> pans;  // 0..15
};
static_assert(sizeof(MtmHeaderRecord) == 66);

struct MtmSampleRecord {
    std::array<std::uint8_t, 22> name;
    Le32 length;  // bytes
    Le32 loopStart;
    Le32 loopEnd;
    std::uint8_t finetune;
    std::uint8_t volume;
    std::uint8_t attributes;  // bit 0: 16-bit frames
};
static_assert(sizeof(MtmSampleRecord) == 37);

constexpr int mtmRows = 64;
constexpr int mtmChannels = 32;
constexpr std::size_t cellBytes = 3;
constexpr std::size_t trackBytes = mtmRows * cellBytes;
constexpr std::size_t sequenceEntryBytes = 2;
constexpr std::size_t sequenceBytesPerPattern = mtmChannels * sequenceEntryBytes;
constexpr std::size_t maxPatterns = 256;
constexpr std::size_t orderBytes = 128;
constexpr std::uint8_t lastStoredOrder = orderBytes - 1;
constexpr std::uint8_t sixteenBitAttribute = 0x01;
constexpr std::uint8_t lastPanPosition = 15;
constexpr int noteOffset = 37;  // note value v (1..63) is note byte v + 37; 24 is C-5

// MultiTracker reads F as ProTracker does; which of its other effects it plays is not known.
constexpr ProtrackerEffectLabels mtmLabels = {.tempo32 = "MTM F20 (tempo 32), kept as speed 32"};

// Emits pattern rows from the 32 tracks lying one after the other in `tracks`.
bool ConvertPattern(std::size_t number, std::span<const std::uint8_t> tracks) {
    return EmitGridPattern(number, mtmRows, mtmChannels, [&](int row, int channel) {
        const std::size_t at = static_cast<std::size_t>(channel) * trackBytes +
                               static_cast<std::size_t>(row) * cellBytes;
        const auto cell = tracks.subspan(at, cellBytes);
        const int value = cell[0] >> 2;
        const auto note = static_cast<std::uint8_t>(value == 0 ? noNote : value + noteOffset);
        const auto instrument = static_cast<std::uint8_t>(((cell[0] & 0x03) << 4) | (cell[1] >> 4));
        return ModCellEvent(channel, note, instrument, cell[1] & 0x0F, cell[2], mtmLabels);
    });
}

}  // namespace

int LoadMtm(void* stream) {
    WorkBuffer tracks(mtmChannels * trackBytes);
    WorkBuffer sequence(sequenceBytesPerPattern * maxPatterns);
    if (!tracks || !sequence) return ResultNoMemory;
    StreamReader reader(stream);
    const auto header = reader.Read<MtmHeaderRecord>();
    std::copy(header.title.begin(), header.title.end(), song.title.begin());
    // Only 128 orders are stored; a later last order would name entries the file never had.
    song.lastOrder = std::min(header.lastOrder, lastStoredOrder);
    for (std::size_t channel = 0; channel < header.pans.size(); ++channel) {
        const int position = std::min(header.pans[channel], lastPanPosition);
        song.channelPan[channel] = static_cast<std::uint8_t>(position * 4 + 2);
    }

    // The instrument table has 128 slots: later samples are read past but not loaded.
    const std::size_t sampleCount = header.sampleCount;
    const std::size_t loadedSamples = std::min(sampleCount, instrumentTable.size());
    if (sampleCount > loadedSamples) {
        NoteBeyondLimit("MTM samples beyond 128",
                        static_cast<std::uint32_t>(sampleCount - loadedSamples));
    }
    std::array<std::uint32_t, instrumentTable.size()> storedBytes{};
    for (std::size_t slot = 0; slot < sampleCount; ++slot) {
        const auto record = reader.Read<MtmSampleRecord>();
        if (slot >= loadedSamples) continue;
        storedBytes[slot] = record.length;
        const bool wide = record.attributes & sixteenBitAttribute;
        const std::uint32_t shift = wide ? 1 : 0;
        const ModSample sample = {
            .name = record.name,
            .length = record.length >> shift,
            .loopStart = record.loopStart >> shift,
            .loopEnd = record.loopEnd >> shift,
            .finetune = record.finetune,
            .volume = record.volume,
            .flags = static_cast<std::uint8_t>(wide ? sixteenBit : 0),
        };
        if (NewModInstrument(slot, sample) == nullptr) return ResultNoMemory;
    }
    reader.Read(std::span(orderList).first(orderBytes));

    const std::uint64_t tracksAt = sizeof(MtmHeaderRecord) + sampleCount * sizeof(MtmSampleRecord) +
                                   orderBytes;
    const std::uint64_t sequenceAt = tracksAt + trackBytes * header.trackCount;
    const std::size_t patternCount = std::size_t{header.lastPattern} + 1;
    const std::size_t sequenceBytes = sequenceBytesPerPattern * patternCount;
    reader.ReadAt(sequenceAt, sequence.span().first(sequenceBytes));

    for (std::size_t number = 0; number < patternCount; ++number) {
        std::fill(tracks.span().begin(), tracks.span().end(), std::uint8_t{0});
        for (std::size_t channel = 0; channel < mtmChannels; ++channel) {
            const std::uint8_t* entry =
                sequence.data() + number * sequenceBytesPerPattern + channel * sequenceEntryBytes;
            // Track 0 is empty, and so is a track the file does not store.
            const std::uint16_t track = ReadLe16(entry);
            if (track == 0 || track > header.trackCount) continue;
            reader.ReadAt(tracksAt + trackBytes * (track - 1u),
                          tracks.span().subspan(channel * trackBytes, trackBytes));
        }
        if (!ConvertPattern(number, tracks.span())) return ResultNoPatternMemory;
    }

    // Each sample's data starts where the stored byte lengths before it say: a 16-bit sample of
    // an odd byte count loses its last byte, not the samples behind it.
    std::uint64_t sampleAt = sequenceAt + sequenceBytes + header.commentLength;
    for (std::size_t slot = 0; slot < loadedSamples; ++slot) {
        InstrumentSlot& instrument = instrumentTable[slot];
        SampleHeader& sample = SampleOf(instrument.block, 0);
        if (const int result = PrepareSampleAt(reader, sampleAt, sample, instrument.sampleData[0],
                                               {.unsignedValues = true});
            result != ResultOk) {
            return result;
        }
        sampleAt += storedBytes[slot];
    }

    FinishAmigaSong();
    return ResultOk;
}

}  // namespace tunepak
