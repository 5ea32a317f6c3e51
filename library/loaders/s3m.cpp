// S3M modules: instruments, orders and patterns addressed in 16-byte paragraphs from the module
// start; packed patterns whose effect memories are resolved while converting.

#include <algorithm>
#include <array>
#include <cstring>

#include "io/services.h"
#include "io/stream_reader.h"
#include "loaders/adpcm.h"
#include "loaders/common.h"
#include "loaders/loaders.h"
#include "loaders/scream_common.h"
#include "model/conversion_record.h"
#include "model/patterns.h"

namespace tunepak {

namespace {

using scream::Effect;

struct S3mHeader {
    std::array<std::uint8_t, 28> name;
    std::uint8_t endOfText;
    std::uint8_t fileType;
    std::array<std::uint8_t, 2> reserved;
    Le16 orderCount;
    Le16 instrumentCount;
    Le16 patternCount;
    Le16 flags;
    Le16 trackerVersion;
    Le16 sampleFormat;
    std::array<std::uint8_t, 4> signature;
    std::uint8_t globalVolume;
    std::uint8_t initialSpeed;
    std::uint8_t initialTempo;
    std::uint8_t masterVolume;
    std::uint8_t ultraClick;
    std::uint8_t panMarker;
    std::array<std::uint8_t, 8> reserved2;
    Le16 special;
    std::array<std::uint8_t, 32> channelSettings;
};
static_assert(sizeof(S3mHeader) == 96);

struct S3mInstrument {
    std::uint8_t type;
    std::array<std::uint8_t, 12> fileName;
    std::uint8_t paragraphHigh;  // not used: the data paragraph is the 16-bit word after it
    Le16 paragraph;
    Le32 length;
    Le32 loopStart;
    Le32 loopEnd;
    std::uint8_t volume;
    std::uint8_t reserved;
    std::uint8_t packing;
    std::uint8_t flags;
    Le32 c5Rate;
    std::array<std::uint8_t, 12> reserved2;
    std::array<std::uint8_t, 28> name;
    std::array<std::uint8_t, 4> signature;
};
static_assert(sizeof(S3mInstrument) == 80);

constexpr std::uint8_t fileTypeModule = 16;
constexpr std::uint8_t adlibType = 2;  // instrument types 2 and up are AdLib voices
constexpr std::uint8_t adpcmPacking = 4;  // ModPlug's 4-bit ADPCM, on 8-bit samples
constexpr std::uint16_t amigaLimitsFlag = 0x10;
// The slide limits without the Amiga-limits flag: no lower limit a slide reaches.
constexpr PeriodLimits openPeriodLimits = {0xFFFF, highestPitch};
constexpr std::uint16_t unsignedSamplesFormat = 0x02;
constexpr std::uint8_t stereoMaster = 0x80;
constexpr std::uint8_t panTableMarker = 0xFC;
constexpr std::uint8_t channelOff = 0xFF;
constexpr std::uint8_t endMarker = 0xFF;
constexpr std::size_t maxInstruments = 128;
constexpr std::size_t maxPatterns = 256;
constexpr std::size_t maxOrders = 256;

constexpr std::uint8_t keyOffByte = 0xFE;
constexpr std::uint8_t highestNoteByte = 0x7B;
constexpr std::uint8_t emptyNoteByte = 0xFF;
constexpr std::uint8_t repeatByte = 0xFF;  // instrument, volume or command: the channel's last one

// Per-channel memories, kept across all patterns of one load.
struct Memories {
    std::array<std::uint8_t, scream::channelMemories> slide{};  // D, E, F, K and L
    std::array<std::uint8_t, scream::channelMemories> command{};
    std::array<std::uint8_t, scream::channelMemories> instrument{};
    std::array<std::uint8_t, scream::channelMemories> volume{};
};

// Turns one packed cell into an event, updating the channel's memories.
Event ConvertCell(const scream::PackedCell& cell, Memories& memories) {
    const auto channel = static_cast<std::size_t>(cell.channel());
    Event event{.channel = cell.channel()};
    bool keyedOff = false;
    if (cell.has(0)) {
        const std::uint8_t note = cell.parts[0][0];
        std::uint8_t instrument = cell.parts[0][1];
        if (note == keyOffByte) {
            keyedOff = true;
            event.note = keyOff;
        } else {
            if (note <= highestNoteByte) {
                event.note = static_cast<std::uint8_t>((note >> 4) * 12 + (note & 0x0F) + 13);
            } else if (note != emptyNoteByte) {
                NoteOutOfRange("S3M notes above B-7");
            }
            if (instrument == repeatByte) instrument = memories.instrument[channel];
            memories.instrument[channel] = instrument;
            event.instrument = instrument;
        }
    }
    if (cell.has(1)) {
        std::uint8_t volume = cell.parts[1][0];
        if (volume == repeatByte) volume = memories.volume[channel];
        memories.volume[channel] = volume;
        event.volume = std::min<std::uint8_t>(volume, 64);
        if (volume > 64) NoteChangedParameter("S3M volumes above 64, limited");
    }
    if (keyedOff) event.volume = 0;  // a key off always silences, with or without a volume
    if (cell.has(2)) {
        std::uint8_t letter = cell.parts[2][0];
        if (letter == repeatByte) letter = memories.command[channel];
        memories.command[channel] = letter;
        const Effect effect = scream::TranslateLetter(scream::LetterFormat::s3m, letter,
                                                      cell.parts[2][1], memories.slide[channel]);
        event.command = effect.command;
        event.parameter = effect.parameter;
    }
    return event;
}

// Sets the pans of the enabled channels and returns how many there are.
int SetChannelPans(const S3mHeader& header) {
    const bool stereo = (header.masterVolume & stereoMaster) != 0;
    const bool panTable = header.panMarker == panTableMarker;
    int channel = 0;
    for (; channel < 32 && header.channelSettings[channel] != channelOff; ++channel) {
        std::uint8_t& pan = song.channelPan[channel];
        if (!stereo) {
            pan = 32;
        } else if (panTable && (pan & 0x20)) {
            pan = static_cast<std::uint8_t>((pan & 0x0F) * 4 + 2);
        } else {
            pan = header.channelSettings[channel] <= 7 ? 13 : 51;
        }
    }
    return channel;
}

int LoadInstrument(StreamReader& reader, std::size_t slot, std::uint16_t pointer,
                   bool unsignedData) {
    const auto source = reader.ReadAt<S3mInstrument>(std::uint64_t{pointer} * 16);
    // AdLib voices have no sample, even where a tracker wrote the sample signature on them:
    // their register bytes lie where a sample keeps its length and data pointer.
    const bool adlib = source.type >= adlibType;
    const bool sampled = !adlib && std::memcmp(source.signature.data(), "SCRS", 4) == 0;
    std::uint8_t* block = NewNamedInstrument(slot, sampled ? 1 : 0, source.name);
    if (block == nullptr) return ResultNoMemory;
    if (!sampled) {
        if (adlib) NoteDiscarded("S3M AdLib instruments");
        return ResultOk;
    }

    SampleHeader& sample = SampleOf(block, 0);
    CopyName(sample.name, source.name);
    sample.length = source.length;
    sample.loopStart = source.loopStart;
    sample.loopEnd = source.loopEnd;
    sample.volume = source.volume;
    sample.flags = sampleMark;
    if (source.flags & 0x04) sample.flags |= sixteenBit;
    if (source.flags & 0x01) sample.flags |= loop;
    if (source.flags & 0x02) NoteDiscarded("S3M stereo samples, kept as their left channel");
    sample.c5Rate = source.c5Rate;
    std::uint8_t*& data = instrumentTable[slot].sampleData[0];
    const SampleEncoding encoding{.unsignedValues = unsignedData};
    if (!reader.SeekParagraph(source.paragraph)) {
        return PrepareUnreachableSample(sample, data, encoding);
    }
    if (source.packing == adpcmPacking && !(sample.flags & sixteenBit)) {
        return PrepareAdpcmSample(sample, data, reader.stream());
    }
    return PrepareSample(sample, data, reader.stream(), encoding);
}

// Scream Tracker keeps one pattern loop, a start row and a counter, for all channels; the
// converted song keeps one for each channel. Within a pattern the two play alike unless a loop
// end (SBx, x > 0) goes back to a start that another channel's SB0 has moved, or another
// channel's loop end lies within its loop (the same row included), where the one counter counts
// for both. Such a pattern is noted once.
class SharedLoopCheck {
public:
    // Looks at the pattern's converted events in order.
    void Add(int row, const Event& event) {
        if (noted_ || event.command != EffectExtended ||
            (event.parameter >> 4) != ExtPatternLoop) {
            return;
        }
        const auto channel = static_cast<std::size_t>(event.channel);
        if ((event.parameter & 0x0F) == 0) {
            ownStart_[channel] = sharedStart_ = row;
            return;
        }
        bool shared = sharedStart_ != ownStart_[channel];
        for (std::size_t other = 0; other < latestEnd_.size(); ++other) {
            shared = shared || (other != channel && latestEnd_[other] >= ownStart_[channel]);
        }
        latestEnd_[channel] = row;
        if (shared) {
            NoteDiscarded("S3M pattern loops on several channels (one loop), kept per channel");
            noted_ = true;
        }
    }

private:
    std::array<int, scream::channelMemories> ownStart_{};
    int sharedStart_ = 0;
    std::array<int, scream::channelMemories> latestEnd_ = NoEnds();
    bool noted_ = false;

    static constexpr std::array<int, scream::channelMemories> NoEnds() {
        std::array<int, scream::channelMemories> ends{};
        ends.fill(-1);
        return ends;
    }
};

// Scream Tracker starts a note without an instrument number at the sample offset that the
// channel's last note took from its O, until a note with an instrument number; the converted note
// starts at the sample's beginning. Told within a pattern, after a note with a non-zero O.
class OffsetCarryCheck {
public:
    void Add(const Event& event) {
        const bool portamento =
            event.command == EffectTonePorta || event.command == EffectTonePortaVolSlide;
        if (event.note == noNote || event.note > NoteByte(119) || portamento) return;
        int& carried = offsets_[static_cast<std::size_t>(event.channel)];
        const bool offset = event.command == EffectSampleOffset;
        if (event.instrument != 0) {
            carried = 0;
        } else if (carried > 0 && !offset) {
            NoteChangedParameter("S3M note without an instrument after an O (Scream Tracker "
                                 "starts it at that offset), kept starting at the beginning");
        }
        // O00 takes a remembered offset, which may come from an earlier pattern.
        if (offset) carried = event.parameter != 0 ? event.parameter : unknown;
    }

private:
    static constexpr int unknown = -1;
    std::array<int, scream::channelMemories> offsets_ = Unknown();

    static constexpr std::array<int, scream::channelMemories> Unknown() {
        std::array<int, scream::channelMemories> offsets{};
        offsets.fill(unknown);
        return offsets;
    }
};

// Scream Tracker wraps a sample offset at or beyond a looped sample's loop end into the loop (its
// SoundBlaster driver stops the sample instead); the converted offset starts the sample at its
// last frame. Noted where the cell names the instrument with its note, so that the sample is
// certain: the instruments are loaded by now.
void NoteOffsetBeyondLoop(const Event& event) {
    if (event.command != EffectSampleOffset || event.parameter == 0 || event.instrument == 0 ||
        event.instrument > instrumentTable.size() || event.note == noNote ||
        event.note > NoteByte(119)) {
        return;
    }
    std::uint8_t* block = instrumentTable[event.instrument - 1u].block;
    if (block == nullptr || RecordOf(block).sampleCount == 0) return;
    const SampleHeader& sample = SampleOf(block, 0);
    if ((sample.flags & loop) && sample.loopStart < sample.loopEnd &&
        event.parameter * 256u >= sample.loopEnd) {
        NoteChangedParameter("S3M O beyond a looped sample's loop end (Scream Tracker wraps it "
                             "into the loop), kept from the last frame");
    }
}

int ConvertPattern(StreamReader& reader, std::size_t number, std::uint16_t pointer,
                   int enabledChannels, std::span<std::uint8_t> packed, Memories& memories) {
    // Paragraph 0 is the module header itself: such a pattern has no data and stays empty.
    std::size_t got = 0;
    if (pointer != 0 && reader.SeekParagraph(pointer)) {
        const std::size_t length = std::min<std::size_t>(reader.U16(), packed.size());
        got = reader.Read(packed.first(length));
    }
    SharedLoopCheck loops;
    scream::RowDelayCheck delays;
    OffsetCarryCheck offsets;
    const auto convert = [&](int row, const scream::PackedCell& cell) -> std::optional<Event> {
        // A channel's memories serve that channel alone, so a channel that is not converted
        // needs none.
        if (cell.channel() < enabledChannels) {
            const Event event = ConvertCell(cell, memories);
            loops.Add(row, event);
            delays.Add(event);
            offsets.Add(event);
            NoteOffsetBeyondLoop(event);
            return event;
        }
        if (cell.has(0) || cell.has(1) || cell.has(2)) {
            NoteChannelBeyondLimit("S3M events on channels after the enabled ones");
        }
        return std::nullopt;
    };
    const auto rowDone = [&] {
        delays.EndRow(
            "S3M SEx of several values on one row (the first non-zero counts), kept as the last");
    };
    return scream::EmitPackedPattern(number, packed.first(got), {2, 1, 2}, convert, rowDone);
}

}  // namespace

int LoadS3m(void* stream) {
    WorkBuffer packed(scream::maxPackedSource);
    if (!packed) return ResultNoMemory;
    StreamReader reader(stream);
    const auto header = reader.Read<S3mHeader>();
    const std::size_t orderCount = header.orderCount;
    const std::size_t instrumentCount = header.instrumentCount;
    const std::size_t patternCount = header.patternCount;
    if (header.fileType != fileTypeModule || orderCount > maxOrders ||
        instrumentCount > maxInstruments || patternCount > maxPatterns) {
        return ResultBadFile;
    }

    std::memcpy(song.title.data(), header.name.data(), header.name.size());
    song.globalVolume = static_cast<std::uint8_t>(header.globalVolume * 2);
    song.initialSpeed = header.initialSpeed;
    song.initialTempo = header.initialTempo;

    reader.Read(std::span(orderList).first(orderCount));
    std::array<std::uint16_t, maxInstruments> instrumentPointers{};
    std::array<std::uint16_t, maxPatterns> patternPointers{};
    reader.ReadTable(std::span(instrumentPointers).first(instrumentCount));
    reader.ReadTable(std::span(patternPointers).first(patternCount));
    if (header.panMarker == panTableMarker) reader.Read(std::span(song.channelPan).first(32));
    const int enabledChannels = SetChannelPans(header);

    const auto end = static_cast<std::size_t>(
        std::find(orderList.begin(), orderList.end(), endMarker) - orderList.begin());
    song.lastOrder = static_cast<std::uint8_t>(std::min(end, orderCount) - 1);

    const bool unsignedData = (header.sampleFormat & unsignedSamplesFormat) != 0;
    for (std::size_t slot = 0; slot < instrumentCount; ++slot) {
        const int result =
            LoadInstrument(reader, slot, instrumentPointers[slot], unsignedData);
        if (result != ResultOk) return result;
    }

    Memories memories;
    const int result = scream::ForEachOrderedPattern(patternCount, [&](std::size_t number) {
        return ConvertPattern(reader, number, patternPointers[number], enabledChannels,
                              packed.span(), memories);
    });
    if (result != ResultOk) return result;

    song.songFlags = amigaSlides | rowPacked;
    FinishSong((header.flags & amigaLimitsFlag) ? amigaPeriodLimits : openPeriodLimits);
    return ResultOk;
}

}  // namespace tunepak
