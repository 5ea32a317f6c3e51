// XM loader: song header, packed patterns, and instruments with their key maps, envelopes,
// auto-vibrato, fade-out and delta-coded samples.

#include <algorithm>
#include <array>
#include <bit>
#include <bitset>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "io/services.h"
#include "io/stream_reader.h"
#include "loaders/adpcm.h"
#include "loaders/common.h"
#include "loaders/loaders.h"
#include "model/conversion_record.h"
#include "model/patterns.h"

namespace tunepak {

namespace {

// Versions 0x0102 and 0x0103 store every instrument and sample header before the patterns and
// all sample data after them; 0x0102 also has a shorter pattern header.
constexpr std::uint16_t earliestVersion = 0x0102;
constexpr std::uint16_t latestVersion = 0x0104;
constexpr std::uint32_t fixedSongHeaderBytes = 276;  // header size field and the 272 bytes after it
constexpr std::uint32_t patternHeaderBytes = 9;
constexpr std::size_t maxPackedBytes = 49152;
constexpr int maxRows = 256;
constexpr int emptyPatternRows = 64;
constexpr std::size_t maxPatterns = 256;
constexpr std::size_t maxInstruments = 128;
constexpr std::size_t maxSamples = 255;
constexpr std::uint32_t sampleHeaderBytes = 40;
constexpr std::size_t keptEnvelopePoints = 10;
constexpr std::uint8_t noteKeyOff = 97;
constexpr std::uint8_t lastPlainNote = 96;
constexpr int noteOffset = 12;  // XM note 49 (C-4) plays at the sample's rate, as internal note 60

struct XmFileHeader {
    std::array<std::uint8_t, 17> signature;
    std::array<std::uint8_t, 20> name;
    std::array<std::uint8_t, 21> tracker;  // marker byte and tracker name
    Le16 version;
};
static_assert(sizeof(XmFileHeader) == 60);

struct XmSongHeader {
    Le32 headerSize;  // counted from its own first byte
    Le16 songLength;
    Le16 restart;
    Le16 channels;
    Le16 patterns;
    Le16 instruments;
    Le16 flags;  // bit 0: linear frequency table
    Le16 speed;
    Le16 tempo;
    std::array<std::uint8_t, 256> orders;
};
static_assert(sizeof(XmSongHeader) == 276);

struct XmPatternHeader {
    Le32 headerLength;
    std::uint8_t packing;
    Le16 rows;
    Le16 packedSize;
};
static_assert(sizeof(XmPatternHeader) == 9);

// The pattern header of the earliest version.
struct EarlyPatternHeader {
    Le32 headerLength;
    std::uint8_t packing;
    std::uint8_t lastRow;
    Le16 packedSize;
};
static_assert(sizeof(EarlyPatternHeader) == 8);

struct XmEnvelopePoint {
    Le16 position;
    Le16 value;
};

// The instrument header after its size field.
struct XmInstrumentHeader {
    std::array<char, 22> name;
    std::uint8_t type;
    Le16 sampleCount;
    Le32 sampleHeaderSize;
    std::array<std::uint8_t, 96> keyMap;
    std::array<XmEnvelopePoint, 12> volumeEnvelope;
    std::array<XmEnvelopePoint, 12> panningEnvelope;
    std::uint8_t volumePoints;
    std::uint8_t panningPoints;
    std::uint8_t volumeSustain;
    std::uint8_t volumeLoopStart;
    std::uint8_t volumeLoopEnd;
    std::uint8_t panningSustain;
    std::uint8_t panningLoopStart;
    std::uint8_t panningLoopEnd;
    std::uint8_t volumeType;
    std::uint8_t panningType;
    std::uint8_t vibratoType;
    std::uint8_t vibratoSweep;
    std::uint8_t vibratoDepth;
    std::uint8_t vibratoRate;
    Le16 fadeOut;
    Le16 reserved;
};
static_assert(sizeof(XmInstrumentHeader) == 239);

struct XmSampleHeader {
    Le32 length;  // bytes
    Le32 loopStart;
    Le32 loopLength;
    std::uint8_t volume;
    std::uint8_t finetune;  // signed
    std::uint8_t type;      // bits 0-1 loop kind, bit 4 16-bit
    std::uint8_t panning;
    std::uint8_t relativeNote;  // signed
    std::uint8_t reserved;
    std::array<char, 22> name;
};
static_assert(sizeof(XmSampleHeader) == sampleHeaderBytes);

// C-5 rates a semitone apart: entry i = floor(8363 x 2^((i - 96) / 12)).
constexpr std::array<std::uint32_t, 192> XmRateTable = {
    32, 34, 36, 38, 41, 43, 46, 48, 51, 54, 58, 61,
    65, 69, 73, 77, 82, 87, 92, 97, 103, 109, 116, 123,
    130, 138, 146, 155, 164, 174, 184, 195, 207, 219, 232, 246,
    261, 276, 293, 310, 329, 348, 369, 391, 414, 439, 465, 493,
    522, 553, 586, 621, 658, 697, 739, 783, 829, 879, 931, 986,
    1045, 1107, 1173, 1243, 1317, 1395, 1478, 1566, 1659, 1758, 1862, 1973,
    2090, 2215, 2346, 2486, 2634, 2790, 2956, 3132, 3318, 3516, 3725, 3946,
    4181, 4430, 4693, 4972, 5268, 5581, 5913, 6265, 6637, 7032, 7450, 7893,
    8363, 8860, 9387, 9945, 10536, 11163, 11827, 12530, 13275, 14064, 14901, 15787,
    16726, 17720, 18774, 19890, 21073, 22326, 23654, 25060, 26550, 28129, 29802, 31574,
    33452, 35441, 37548, 39781, 42146, 44653, 47308, 50121, 53101, 56259, 59604, 63148,
    66904, 70882, 75097, 79562, 84293, 89306, 94616, 100242, 106203, 112518, 119209, 126297,
    133808, 141764, 150194, 159125, 168587, 178612, 189233, 200485, 212406, 225037, 238418, 252595,
    267616, 283529, 300388, 318250, 337175, 357224, 378466, 400970, 424813, 450074, 476837, 505191,
    535232, 567058, 600777, 636501, 674350, 714449, 756932, 801941, 849627, 900149, 953675, 1010383,
    1070464, 1134117, 1201555, 1273003, 1348700, 1428898, 1513864, 1603883, 1699255, 1800298, 1907350, 2020766,
};

// What becomes of an XM effect column entry.
enum class EffectRule : std::uint8_t {
    keep,    // the command below with the parameter unchanged
    halve,   // the command below with the parameter halved (XM pans run 0..255)
    keyOff,  // no effect; the cell's note becomes a key off
    drop,    // no effect
};
struct EffectTranslation {
    EffectRule rule;
    std::uint8_t command;
    const char* label;  // the effect's own name, for the conversion record
};
constexpr std::array<EffectTranslation, 35> effectTranslations = {{
    {EffectRule::keep, EffectArpeggio, "XM 0 (arpeggio)"},                   // as it is
    {EffectRule::keep, EffectPortaUp, "XM 1 (portamento up)"},               // as it is
    {EffectRule::keep, EffectPortaDown, "XM 2 (portamento down)"},           // as it is
    {EffectRule::keep, EffectTonePorta, "XM 3 (tone portamento)"},           // as it is
    {EffectRule::keep, EffectVibrato, "XM 4 (vibrato)"},                     // as it is
    {EffectRule::keep, EffectTonePortaVolSlide, "XM 5 (porta + vol slide)"}, // as it is
    {EffectRule::keep, EffectVibratoVolSlide, "XM 6 (vibrato + vol slide)"}, // as it is
    {EffectRule::keep, EffectTremolo, "XM 7 (tremolo)"},                     // as it is
    {EffectRule::halve, EffectSetPan, "XM 8 (set panning)"},                 // 0..255 halved
    {EffectRule::keep, EffectSampleOffset, "XM 9 (sample offset)"},          // as it is
    {EffectRule::keep, EffectVolSlide, "XM A (volume slide)"},               // as it is
    {EffectRule::keep, EffectPositionJump, "XM B (position jump)"},          // as it is
    {EffectRule::keep, EffectSetVolume, "XM C (set volume)"},                // as it is
    {EffectRule::keep, EffectPatternBreak, "XM D (pattern break)"},          // as it is
    {EffectRule::keep, EffectExtended, "XM E (extended)"},                   // every sub-command
    {EffectRule::keep, EffectSpeedTempo, "XM F (speed or tempo)"},           // as it is
    {EffectRule::drop, 0, "XM G (global volume)"},                           // no equivalent
    {EffectRule::drop, 0, "XM H (global volume slide)"},                     // no equivalent
    {EffectRule::drop, 0, "XM I"},                                           // unused
    {EffectRule::drop, 0, "XM J"},                                           // unused
    {EffectRule::keyOff, 0, "XM K (key off)"},                               // the note, at once
    {EffectRule::drop, 0, "XM L (set envelope position)"},                   // no equivalent
    {EffectRule::drop, 0, "XM M"},                                           // unused
    {EffectRule::drop, 0, "XM N"},                                           // unused
    {EffectRule::drop, 0, "XM O"},                                           // unused
    {EffectRule::drop, 0, "XM P (panning slide)"},                           // no equivalent
    {EffectRule::drop, 0, "XM Q"},                                           // unused
    {EffectRule::drop, 0, "XM R (multi retrigger)"},                         // no equivalent
    {EffectRule::keep, EffectSetPan, "XM S (set panning)"},                  // some writers, 0..128
    {EffectRule::drop, 0, "XM T (tremor)"},                                  // no equivalent
    {EffectRule::drop, 0, "XM U"},                                           // unused
    {EffectRule::drop, 0, "XM V"},                                           // unused
    {EffectRule::drop, 0, "XM W"},                                           // unused
    {EffectRule::drop, 0, "XM X (extra fine portamento)"},                   // no equivalent
    {EffectRule::keep, EffectSetPan, "XM Y (set panning)"},                  // some writers, 0..128
}};

// The volume column's effects, by the column's high nibble; y is its low nibble. They take the
// cell's effect only when the effect column leaves none. A nibble with a label is an effect.
struct VolumeColumnEffect {
    bool present;
    std::uint8_t command;
    std::uint8_t base;  // parameter = base + y, or base + y x 16 when `high`
    bool high;
    const char* label;
};
constexpr std::array<VolumeColumnEffect, 16> volumeColumnEffects = {{
    {false, 0, 0, false, nullptr},                                // 0x0y nothing
    {false, 0, 0, false, nullptr},                                // 0x1y set volume
    {false, 0, 0, false, nullptr},                                // 0x2y set volume
    {false, 0, 0, false, nullptr},                                // 0x3y set volume
    {false, 0, 0, false, nullptr},                                // 0x4y set volume
    {false, 0, 0, false, nullptr},                                // 0x5y set volume 64 (0x50)
    {true, EffectVolSlide, 0x00, false, "XM volume column - (slide down)"},    // 0x6y
    {true, EffectVolSlide, 0x00, true, "XM volume column + (slide up)"},       // 0x7y
    {true, EffectExtended, 0xB0, false, "XM volume column D (fine down)"},     // 0x8y
    {true, EffectExtended, 0xA0, false, "XM volume column U (fine up)"},       // 0x9y
    {true, EffectVibrato, 0x00, true, "XM volume column S (vibrato speed)"},   // 0xAy
    {true, EffectVibrato, 0x00, false, "XM volume column V (vibrato depth)"},  // 0xBy
    {true, EffectExtended, 0x80, false, "XM volume column P (set panning)"},   // 0xCy
    {false, 0, 0, false, "XM volume column L (panning slide left)"},           // 0xDy
    {false, 0, 0, false, "XM volume column R (panning slide right)"},          // 0xEy
    {true, EffectTonePorta, 0x00, true, "XM volume column M (tone portamento)"},  // 0xFy
}};
constexpr std::uint8_t firstVolume = 0x10;
constexpr std::uint8_t lastVolume = 0x50;

// One decoded pattern cell.
struct XmCell {
    std::uint8_t note = 0;
    std::uint8_t instrument = 0;
    std::uint8_t volume = 0;
    std::uint8_t effect = 0;
    std::uint8_t parameter = 0;
};

// Decodes the cell at `position`, which moves past it. A cell is taken only when all of its
// bytes lie within `packed`; otherwise nothing is returned and `position` stays.
std::optional<XmCell> DecodeCell(std::span<const std::uint8_t> packed, std::size_t& position) {
    if (position >= packed.size()) return std::nullopt;
    const std::uint8_t first = packed[position];
    const bool masked = first & 0x80;
    // A first byte without bit 7 is itself the note, followed by the four other items.
    const std::uint8_t mask = masked ? (first & 0x1F) : 0x1F;
    std::size_t next = position + (masked ? 1 : 0);
    if (packed.size() - next < static_cast<std::size_t>(std::popcount(mask))) return std::nullopt;
    std::array<std::uint8_t, 5> items{};
    for (std::size_t item = 0; item < items.size(); ++item) {
        if (mask & (1u << item)) items[item] = packed[next++];
    }
    position = next;
    return XmCell{items[0], items[1], items[2], items[3], items[4]};
}

// The effect memories of one channel that FastTracker 2 recalls for a zero parameter, where the
// internal commands slide by nothing: the last non-zero value of each, in conversion order.
enum XmMemory : std::uint8_t {
    portaUpMemory,        // 1xx
    portaDownMemory,      // 2xx
    volumeSlideMemory,    // Axx, and the volume slides of 5xx and 6xx
    finePortaUpMemory,    // E1x
    finePortaDownMemory,  // E2x
    fineVolumeUpMemory,   // EAx
    fineVolumeDownMemory, // EBx
    noMemory,
};
constexpr std::array<const char*, noMemory> recalledZeroLabels = {{
    "XM 100 (portamento up from memory), kept as 0",
    "XM 200 (portamento down from memory), kept as 0",
    "XM A00/500/600 (volume slide from memory), kept as 0",
    "XM E10 (fine portamento up from memory), kept as 0",
    "XM E20 (fine portamento down from memory), kept as 0",
    "XM EA0 (fine volume slide up from memory), kept as 0",
    "XM EB0 (fine volume slide down from memory), kept as 0",
}};
using XmChannelMemories = std::array<std::array<std::uint8_t, noMemory>, packedChannels>;

// The memory an effect recalls with a zero value, and that value: the whole parameter, or the
// low nibble of an extended effect.
std::pair<XmMemory, std::uint8_t> RecallingMemory(std::uint8_t effect, std::uint8_t parameter) {
    const auto low = static_cast<std::uint8_t>(parameter & 0x0F);
    switch (effect) {
        case 0x1: return {portaUpMemory, parameter};
        case 0x2: return {portaDownMemory, parameter};
        case 0x5:
        case 0x6:
        case 0xA: return {volumeSlideMemory, parameter};
        case 0xE:
            switch (parameter >> 4) {
                case 0x1: return {finePortaUpMemory, low};
                case 0x2: return {finePortaDownMemory, low};
                case 0xA: return {fineVolumeUpMemory, low};
                case 0xB: return {fineVolumeDownMemory, low};
                default: return {noMemory, 0};
            }
        default: return {noMemory, 0};
    }
}

// Notes a zero value that FastTracker 2 would take from a memory holding something else, and
// keeps the memories up to date.
void NoteRecalledZero(const XmCell& cell, int channel, XmChannelMemories& memories) {
    const auto [memory, value] = RecallingMemory(cell.effect, cell.parameter);
    if (memory == noMemory || channel >= packedChannels) return;
    RememberOrNoteRecalledZero(value, memories[static_cast<std::size_t>(channel)][memory],
                               recalledZeroLabels[memory]);
}

// FastTracker 2 plays waveform 3 as a square and runs its vibrato ramp upwards; its finetune
// is a 128th of a semitone, relative to the sample's.
constexpr ProtrackerEffectLabels xmLabels = {
    .tempo32 = "XM F20 (tempo 32), kept as speed 32",
    .glissando = "XM E3 (glissando control)",
    .vibratoRamp = "XM E41 (vibrato ramp, upwards), kept as ramp down",
    .waveform3 = "XM E43/E73 (square waveform), kept as sine",
    .finetune = "XM E5 (set finetune), kept as a MOD finetune",
};

// ED1..EDF: a note delay that acts on a later tick (ED0 acts on the row's first).
bool DelaysToLaterTick(const XmCell& cell) {
    return cell.effect == 0xE && (cell.parameter >> 4) == ExtNoteDelay &&
           (cell.parameter & 0x0F) != 0;
}

// Notes an E90 or ED1..EDF on a cell without a note, on a channel whose last note is certain:
// one on an earlier row of the pattern. FastTracker 2 restarts that note there (E90 on tick 0,
// EDx on tick x); the converted retrigger by 0 and note delay start nothing without a note of
// their own.
void NoteLastNoteRestart(const XmCell& cell, bool channelHasNote) {
    if (cell.effect != 0xE || cell.note != 0 || !channelHasNote) return;
    if (cell.parameter == 0x90) {
        NoteChangedParameter("XM E90 without a note (restarts the last note), kept as no action");
    } else if (DelaysToLaterTick(cell)) {
        NoteChangedParameter(
            "XM ED1-EDF without a note (restarts the last note at that tick), kept as no action");
    }
}

// Translates one cell into an event of the row-packed encoding; what the conversion changes is
// noted, the effect memories of `memories` followed.
Event TranslateCell(const XmCell& cell, int channel, XmChannelMemories& memories) {
    Event event{.channel = channel, .instrument = cell.instrument};
    std::uint8_t note = cell.note;
    const EffectTranslation translation =
        cell.effect < effectTranslations.size()
            ? effectTranslations[cell.effect]
            : EffectTranslation{EffectRule::drop, 0, "XM effects beyond Y"};
    switch (translation.rule) {
        case EffectRule::keep:
            event.command = translation.command;
            event.parameter = cell.parameter;
            NoteChangedMeaning(event, xmLabels);
            // FastTracker 2 counts a row's ticks down: from speed 3 up, the two offsets of an
            // arpeggio come in another order.
            if (cell.effect == 0 && (cell.parameter >> 4) != (cell.parameter & 0x0F)) {
                NoteChangedParameter("XM 0 (arpeggio), kept in another tick order");
            }
            NoteRecalledZero(cell, channel, memories);
            // FastTracker 2 delays a key off too; the converted key off releases on tick 0.
            if (DelaysToLaterTick(cell) && cell.note == noteKeyOff) {
                NoteChangedParameter(
                    "XM key off with ED1-EDF (released at that tick), kept releasing on tick 0");
            }
            break;
        case EffectRule::halve:
            event.command = translation.command;
            event.parameter = static_cast<std::uint8_t>(cell.parameter >> 1);
            break;
        case EffectRule::keyOff:
            note = noteKeyOff;
            if (cell.parameter != 0) NoteChangedParameter("XM K (key off at a later tick)");
            break;
        case EffectRule::drop:
            if (cell.effect != 0 || cell.parameter != 0) NoteDroppedEffect(translation.label);
            break;
    }
    const VolumeColumnEffect& column = volumeColumnEffects[cell.volume >> 4];
    if (column.present && event.command == 0 && event.parameter == 0) {
        const std::uint8_t y = cell.volume & 0x0F;
        event.command = column.command;
        event.parameter = static_cast<std::uint8_t>(column.base + (column.high ? y << 4 : y));
    } else if (column.label != nullptr) {
        NoteLostVolumeEffect(column.label);
    }
    if (cell.volume >= firstVolume && cell.volume <= lastVolume) {
        event.volume = static_cast<std::uint8_t>(cell.volume - firstVolume);
    }
    if (note == noteKeyOff) {
        event.note = keyOff;
    } else if (note >= 1 && note <= lastPlainNote) {
        event.note = static_cast<std::uint8_t>(note + noteOffset);
    } else if (note > noteKeyOff) {
        NoteOutOfRange("XM note values above 97");
    }
    return event;
}

// FastTracker 2 applies a row's jumps and breaks in channel order, and a position jump sets the
// break row back to 0: a jump on a later channel than the row's last break goes to row 0 of its
// order entry. The converted row goes to the break's row, whichever channel holds which.
class JumpAfterBreakCheck {
public:
    void Add(const XmCell& cell) {
        if (cell.effect == 0xD) {
            breakRow_ = (cell.parameter >> 4) * 10 + (cell.parameter & 0x0F);
            jumpFollows_ = false;
        } else if (cell.effect == 0xB) {
            jumpFollows_ = breakRow_ > 0;
        }
    }
    void EndRow() {
        if (jumpFollows_) {
            NoteChangedParameter("XM B after D on one row (FastTracker 2 goes to row 0), "
                                 "kept going to D's row");
        }
        breakRow_ = 0;
        jumpFollows_ = false;
    }

private:
    int breakRow_ = 0;
    bool jumpFollows_ = false;
};

// FastTracker 2 stops a sample that an offset (9xx) starts at or beyond its end; the converted
// offset starts it at its last frame, so that a looped sample plays on. The sample is certain
// where the cell names the instrument with its note, but the instruments follow the patterns in
// the file: such cells are kept here and judged once the instruments are read. Cells beyond the
// first `slots` are not judged.
class LateOffsetCheck {
public:
    void Add(std::size_t pattern, int row, const XmCell& cell) {
        if (cell.effect != 0x9 || cell.parameter == 0 || cell.instrument == 0 ||
            cell.instrument > maxInstruments || cell.note == 0 || cell.note > lastPlainNote ||
            count_ == candidates_.size()) {
            return;
        }
        candidates_[count_++] = {static_cast<std::uint16_t>(pattern),
                                 static_cast<std::uint16_t>(row), cell.instrument, cell.note,
                                 cell.parameter};
    }

    void Judge() const {
        for (std::size_t k = 0; k < count_; ++k) {
            const Candidate& cell = candidates_[k];
            std::uint8_t* block = instrumentTable[cell.instrument - 1u].block;
            if (block == nullptr) continue;
            const std::uint8_t sample = RecordOf(block).sampleMap[noteOffset + cell.note - 1u];
            if (sample >= RecordOf(block).sampleCount) continue;
            const SampleHeader& header = SampleOf(block, sample);
            if ((header.flags & loop) && cell.offset * 256u >= header.length) {
                SetConversionPlace(cell.pattern, cell.row);
                NoteChangedParameter("XM 9 beyond the end of a looped sample (FastTracker 2 "
                                     "stops it), kept from the last frame");
            }
        }
        ClearConversionPlace();
    }

private:
    struct Candidate {
        std::uint16_t pattern;
        std::uint16_t row;
        std::uint8_t instrument;
        std::uint8_t note;
        std::uint8_t offset;
    };
    static constexpr std::size_t slots = 256;
    std::array<Candidate, slots> candidates_{};
    std::size_t count_ = 0;
};

// A pattern's header as the version stores it; the stream is left at the packed data.
struct PatternHead {
    int rows = 0;
    std::uint16_t packedSize = 0;
};

// Nothing when the stream cannot pass over the header's rest.
std::optional<PatternHead> ReadPatternHead(StreamReader& reader, std::uint16_t version) {
    if (version == earliestVersion) {
        // Eight bytes, the row count in one byte as rows - 1.
        const auto header = reader.Read<EarlyPatternHeader>();
        if (!reader.Skip(std::int64_t{header.headerLength} - sizeof header)) return std::nullopt;
        return PatternHead{header.lastRow + 1, header.packedSize};
    }
    const auto header = reader.Read<XmPatternHeader>();
    if (!reader.Skip(std::int64_t{header.headerLength} - patternHeaderBytes)) return std::nullopt;
    return PatternHead{header.rows, header.packedSize};
}

int LoadPattern(StreamReader& reader, std::size_t number, int channels, std::uint16_t version,
                WorkBuffer& packedBuffer, XmChannelMemories& memories, LateOffsetCheck& offsets) {
    const std::optional<PatternHead> head = ReadPatternHead(reader, version);
    if (!head) return ResultBadFile;
    const PatternHead& header = *head;
    const int sourceRows = header.rows;
    if (sourceRows > maxRows) return ResultBadFile;

    PatternEmitter emitter;
    if (sourceRows == 0) {
        // A pattern without rows plays as an empty one of the default length.
        if (!reader.Skip(header.packedSize)) return ResultBadFile;
        if (!emitter.Begin(number, emptyPatternRows)) return ResultNoPatternMemory;
        for (int row = 0; row < emptyPatternRows; ++row) emitter.EndRow();
        emitter.Finish();
        return ResultOk;
    }

    const std::size_t packedSize = header.packedSize;
    const std::size_t kept = std::min(packedSize, maxPackedBytes);
    const std::span<const std::uint8_t> packed =
        packedBuffer.span().first(reader.Read(packedBuffer.span().first(kept)));
    if (!reader.Skip(static_cast<std::int64_t>(packedSize - kept))) return ResultBadFile;

    if (!emitter.Begin(number, sourceRows)) return ResultNoPatternMemory;
    std::size_t position = 0;
    bool ended = false;  // the first incomplete cell ends the pattern's data
    JumpAfterBreakCheck jumps;
    std::bitset<packedChannels> sounded;  // the channels that have had a note in this pattern
    for (int row = 0; row < sourceRows; ++row) {
        for (int channel = 0; channel < channels && !ended; ++channel) {
            const std::optional<XmCell> cell = DecodeCell(packed, position);
            if (!cell) {
                ended = true;
                break;
            }
            jumps.Add(*cell);
            if (channel < packedChannels) {
                offsets.Add(number, row, *cell);
                const auto index = static_cast<std::size_t>(channel);
                NoteLastNoteRestart(*cell, sounded[index]);
                if (cell->note >= 1 && cell->note <= lastPlainNote) sounded.set(index);
            }
            emitter.Add(TranslateCell(*cell, channel, memories));
        }
        jumps.EndRow();
        emitter.EndRow();
    }
    emitter.Finish();
    return ResultOk;
}

// c5Rate from the relative note and finetune: the finetune interpolates linearly across the two
// semitones around the relative note, -128 giving the lower one and 0 the midpoint.
std::uint32_t SampleRate(std::int8_t relativeNote, std::int8_t finetune) {
    constexpr int lastIndex = static_cast<int>(XmRateTable.size()) - 1;
    const auto low = static_cast<std::size_t>(std::clamp(95 + relativeNote, 0, lastIndex));
    const auto high = static_cast<std::size_t>(std::clamp(97 + relativeNote, 0, lastIndex));
    const std::uint32_t base = XmRateTable[low];
    const std::uint32_t span = XmRateTable[high] - base;
    return base + static_cast<std::uint32_t>(finetune + 128) * span / 256;
}

// Packs the volume envelope's value into the low nibble and the panning envelope's into the high.
std::uint8_t Nibbles(unsigned volume, unsigned panning) {
    return static_cast<std::uint8_t>((volume & 0x0F) | (panning << 4));
}

void FillEnvelope(std::span<EnvelopePoint, keptEnvelopePoints> target,
                  std::span<const XmEnvelopePoint> source) {
    for (std::size_t k = 0; k < target.size(); ++k) {
        target[k].position = static_cast<std::uint16_t>(source[k].position * 16u);
        target[k].value = static_cast<std::uint8_t>(source[k].value);
    }
}

void FillInstrument(InstrumentRecord& record, const XmInstrumentHeader& header) {
    std::copy(header.keyMap.begin(), header.keyMap.end(), record.sampleMap.begin() + noteOffset);
    record.vibratoType = header.vibratoType;
    record.vibratoSweep = header.vibratoSweep;
    record.vibratoDepth = static_cast<std::int16_t>(static_cast<std::int8_t>(header.vibratoDepth) * 4);
    record.vibratoRate = static_cast<std::int16_t>(static_cast<std::int8_t>(header.vibratoRate) * 16);
    record.envelopeFlags = Nibbles(header.volumeType, header.panningType);
    // Each nibble holds the index of its envelope's last point; the record keeps ten points.
    // With no volume points the whole byte wraps to 0xFF.
    const unsigned volumePoints = std::min<unsigned>(header.volumePoints, keptEnvelopePoints);
    const unsigned panningPoints = std::min<unsigned>(header.panningPoints, keptEnvelopePoints);
    if (((header.volumeType & 1) && header.volumePoints > keptEnvelopePoints) ||
        ((header.panningType & 1) && header.panningPoints > keptEnvelopePoints)) {
        NoteBeyondLimit("XM instruments with envelopes of more than 10 points");
    }
    record.envelopeLastPoint = static_cast<std::uint8_t>(
        static_cast<std::uint8_t>(volumePoints - 1) | static_cast<std::uint8_t>((panningPoints + 15) << 4));
    record.envelopeSustain = Nibbles(header.volumeSustain, header.panningSustain);
    record.envelopeLoopStart = Nibbles(header.volumeLoopStart, header.panningLoopStart);
    record.envelopeLoopEnd = Nibbles(header.volumeLoopEnd, header.panningLoopEnd);
    FillEnvelope(record.volumeEnvelope, header.volumeEnvelope);
    FillEnvelope(record.panningEnvelope, header.panningEnvelope);
    record.fadeOut = static_cast<std::uint16_t>((((header.fadeOut + 2u) >> 2) + 8) >> 4);
    // FastTracker 2 fades from 32,768 by the fade-out each tick: the value kept, out of 1,024,
    // fades half as fast. Without a volume envelope a key off cuts the note at once.
    if ((header.volumeType & 1) && header.fadeOut != 0) {
        NoteChangedParameter("XM instrument fade-out, kept at half speed");
    }
}

// Sample flags from the XM sample type: loop kind, 16-bit data, and the bits every XM sample
// carries (own pan valid, which also tells word deltas in a stored header, and bit 7).
std::uint8_t SampleFlags(std::uint8_t type) {
    std::uint8_t flags = static_cast<std::uint8_t>((type & 0x03) << 3);
    if (flags & pingPong) flags |= loop;
    if (type & 0x10) flags |= sixteenBit;
    return static_cast<std::uint8_t>(flags | usePan | sampleMark);
}

// Every XM sample with data stores it as deltas: of bytes, or of whole 16-bit words.
constexpr SampleEncoding xmEncoding = {.delta = true, .wordDeltas = true};

// Fills the header from the source's and returns the encoding of its data.
SampleEncoding FillSample(SampleHeader& sample, const XmSampleHeader& source) {
    std::copy(source.name.begin(), source.name.end(), sample.name.begin());
    if (source.length == 0) return {};
    const std::uint8_t flags = SampleFlags(source.type);
    const unsigned shift = (flags & sixteenBit) ? 1 : 0;  // byte counts to 16-bit frame counts
    sample.length = source.length >> shift;
    sample.loopStart = source.loopStart >> shift;
    sample.loopEnd = static_cast<std::uint32_t>(source.loopStart + source.loopLength) >> shift;
    sample.volume = source.volume;
    sample.c5Rate = SampleRate(static_cast<std::int8_t>(source.relativeNote),
                               static_cast<std::int8_t>(source.finetune));
    sample.flags = flags;
    sample.pan = static_cast<std::uint8_t>(source.panning >> 2);
    return xmEncoding;
}

// How one sample's data is stored, as its header says; kept one byte a sample.
enum SampleStorage : std::uint8_t {
    emptyStorage,         // no data, and no coding stated
    deltaStorage,         // delta-coded bytes or words
    deltaOddByteStorage,  // 16-bit deltas behind which an odd last byte of the stated length lies
    adpcmStorage,         // ModPlug's 4-bit ADPCM, marked in the reserved byte of an 8-bit sample
};
using SampleStorages = std::span<std::uint8_t, maxSamples>;
constexpr std::uint8_t adpcmMarker = 0xAD;

// Reads instrument `slot`'s header and its sample headers, and notes how each sample's data is
// stored; the data itself is read by LoadSampleData.
int LoadInstrumentHeaders(StreamReader& reader, std::size_t slot, SampleStorages storages) {
    // The size counts from the size field itself; what lies beyond the known fields is skipped,
    // and a size too small even for its own field leaves only the field read.
    const std::uint32_t headerSize = reader.U32();
    XmInstrumentHeader header{};
    const std::uint32_t afterSize = std::max<std::uint32_t>(headerSize, 4) - 4;
    const std::size_t wanted = std::min<std::size_t>(afterSize, sizeof(header));
    reader.Read(std::span(reinterpret_cast<std::uint8_t*>(&header), wanted));
    if (!reader.Skip(afterSize - wanted)) return ResultBadFile;

    if (header.sampleCount > maxSamples) return ResultBadFile;
    const auto sampleCount = static_cast<std::uint8_t>(header.sampleCount);
    std::uint8_t* block = NewInstrument(slot, sampleCount);
    if (block == nullptr) return ResultNoMemory;
    InstrumentRecord& record = RecordOf(block);
    std::copy(header.name.begin(), header.name.end(), record.name.begin());
    if (sampleCount == 0) return ResultOk;

    FillInstrument(record, header);
    const std::uint32_t sampleHeaderSize = header.sampleHeaderSize;
    const std::size_t sampleHeaderRead = std::min(sampleHeaderSize, sampleHeaderBytes);
    for (std::size_t k = 0; k < sampleCount; ++k) {
        XmSampleHeader source{};
        reader.Read(std::span(reinterpret_cast<std::uint8_t*>(&source), sampleHeaderRead));
        if (!reader.Skip(sampleHeaderSize - sampleHeaderRead)) return ResultBadFile;
        SampleHeader& sample = SampleOf(block, k);
        const bool coded = FillSample(sample, source).Converts();
        // A 16-bit sample's frames leave out an odd last byte of its data; the byte still lies
        // in the file before the next sample's data.
        const bool wide = sample.flags & sixteenBit;
        storages[k] = !coded                                  ? emptyStorage
                      : !wide && source.reserved == adpcmMarker ? adpcmStorage
                      : wide && (source.length & 1)             ? deltaOddByteStorage
                                                                : deltaStorage;
    }
    return ResultOk;
}

// OXM files store a sample as its decoded length in four bytes and an Ogg Vorbis stream, which
// begins with an "OggS" page. Whether the data at the stream's position is such a sample; the
// stream stays where it was.
bool HoldsVorbis(StreamReader& reader) {
    constexpr std::string_view oggPage = "OggS";
    std::array<std::uint8_t, 4 + oggPage.size()> start{};
    return reader.Peek(start) &&
           std::string_view(reinterpret_cast<const char*>(start.data()) + 4, oggPage.size()) ==
               oggPage;
}

// A Vorbis sample is not decoded: it keeps its header without frames, and so stays silent
// instead of playing its compressed bytes as noise. The reader moves past its data.
void SkipVorbisSample(StreamReader& reader, SampleHeader& sample, SampleStorage storage) {
    NoteDiscarded("Ogg Vorbis sample data (OXM), not decoded");
    const std::uint64_t bytes = std::uint64_t{sample.length} * SampleWidth(sample) +
                                (storage == deltaOddByteStorage ? 1 : 0);
    sample.length = sample.loopStart = sample.loopEnd = 0;
    sample.flags &= static_cast<std::uint8_t>(~(loop | pingPong));
    // Data that a cut file does not hold leaves the reader at its end, where the samples after
    // this one read as cut.
    [[maybe_unused]] const bool whole = reader.Skip(static_cast<std::int64_t>(bytes));
}

// Reads the data of instrument `slot`'s samples, which follow one another from where the stream
// stands.
int LoadSampleData(StreamReader& reader, std::size_t slot, SampleStorages storages) {
    void* const stream = reader.stream();
    InstrumentSlot& instrument = instrumentTable[slot];
    const std::size_t sampleCount = RecordOf(instrument.block).sampleCount;
    for (std::size_t k = 0; k < sampleCount; ++k) {
        SampleHeader& sample = SampleOf(instrument.block, k);
        std::uint8_t*& data = instrument.sampleData[k];
        const auto storage = static_cast<SampleStorage>(storages[k]);
        if ((storage == deltaStorage || storage == deltaOddByteStorage) && HoldsVorbis(reader)) {
            SkipVorbisSample(reader, sample, storage);
            continue;
        }
        const int result =
            storages[k] == adpcmStorage ? PrepareAdpcmSample(sample, data, stream)
            : storages[k] == emptyStorage ? PrepareSample(sample, data, stream, SampleEncoding{})
                                          : PrepareSample(sample, data, stream, xmEncoding);
        if (result != ResultOk) return result;
        if (storages[k] == deltaOddByteStorage && !reader.Skip(1)) return ResultBadFile;
    }
    return ResultOk;
}

}  // namespace

int LoadXm(void* stream) {
    StreamReader reader(stream);
    const auto fileHeader = reader.Read<XmFileHeader>();
    const std::uint16_t version = fileHeader.version;
    if (version < earliestVersion || version > latestVersion) return ResultBadFile;
    std::copy(fileHeader.name.begin(), fileHeader.name.end(), song.title.begin());

    const auto header = reader.Read<XmSongHeader>();
    if (!reader.Skip(std::int64_t{header.headerSize} - fixedSongHeaderBytes)) return ResultBadFile;
    song.lastOrder = static_cast<std::uint8_t>(header.songLength - 1);
    song.songFlags = static_cast<std::uint8_t>(((header.flags & 0xFF) ^ amigaSlides) | rowPacked);
    song.initialSpeed = static_cast<std::uint8_t>(header.speed);
    song.initialTempo = static_cast<std::uint8_t>(header.tempo);
    orderList = header.orders;
    if (header.patterns > maxPatterns) return ResultBadFile;

    // Instruments beyond the table's reach come last in the file and are left there.
    const std::size_t instruments = std::min<std::size_t>(header.instruments, maxInstruments);
    if (header.instruments > instruments) {
        NoteBeyondLimit("XM instruments beyond 128",
                        static_cast<std::uint32_t>(header.instruments - instruments));
    }
    // The storage of every sample waits for the data when the patterns lie in between.
    const bool headersFirst = version < latestVersion;
    WorkBuffer storageBuffer((headersFirst ? std::max<std::size_t>(instruments, 1) : 1) *
                             maxSamples);
    if (!storageBuffer) return ResultNoMemory;
    const auto storages = [&](std::size_t i) {
        return storageBuffer.span().subspan((headersFirst ? i : 0) * maxSamples).first<maxSamples>();
    };

    if (headersFirst) {
        for (std::size_t i = 0; i < instruments; ++i) {
            const int result = LoadInstrumentHeaders(reader, i, storages(i));
            if (result != ResultOk) return result;
        }
    }
    WorkBuffer packedBuffer(maxPackedBytes, WorkBuffer::Fill::none);  // read before use
    if (!packedBuffer) return ResultNoMemory;
    XmChannelMemories memories{};
    LateOffsetCheck offsets;
    for (std::size_t p = 0; p < header.patterns; ++p) {
        const int result =
            LoadPattern(reader, p, header.channels, version, packedBuffer, memories, offsets);
        if (result != ResultOk) return result;
    }
    packedBuffer = WorkBuffer();
    for (std::size_t i = 0; i < instruments; ++i) {
        int result = headersFirst ? ResultOk : LoadInstrumentHeaders(reader, i, storages(i));
        if (result == ResultOk) result = LoadSampleData(reader, i, storages(i));
        if (result != ResultOk) return result;
    }
    offsets.Judge();

    FinishSong(linearPeriodLimits);
    return ResultOk;
}

}  // namespace tunepak
