// MOD loader: 31-sample modules of 1 to 32 channels, recognised by their channel tag, and the
// original 15-sample Soundtracker layout, which has no tag and is told by plausible headers alone.
// Every file that no other format claims ends up here, so a file that is neither is refused.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "io/services.h"
#include "io/stream_reader.h"
#include "loaders/adpcm.h"
#include "loaders/loaders.h"
#include "loaders/mod_common.h"
#include "model/conversion_record.h"
#include "model/model.h"
#include "model/patterns.h"

namespace tunepak {

namespace {

struct ModSampleRecord {
    std::array<std::uint8_t, 22> name;
    Be16 lengthWords;
    std::uint8_t finetune;  // low nibble: 0..7 up, 8..15 meaning -8..-1
    std::uint8_t volume;
    Be16 loopStartWords;
    Be16 loopLengthWords;
};
static_assert(sizeof(ModSampleRecord) == 30);

constexpr std::size_t modSamples = 31;
constexpr std::size_t soundtrackerSamples = 15;

// What follows the sample records.
struct ModSongRecord {
    std::uint8_t songLength;
    std::uint8_t restart;  // not converted; 0 in the files that 669 converters wrote
    std::array<std::uint8_t, 128> orders;
};
static_assert(sizeof(ModSongRecord) == 130);

// Everything before the first pattern of a 31-sample module (Digital Tracker files put four
// more bytes after the tag).
struct ModHeaderRecord {
    std::array<std::uint8_t, 20> title;
    std::array<ModSampleRecord, modSamples> samples;
    ModSongRecord song;
    std::array<char, 4> tag;
};
static_assert(sizeof(ModHeaderRecord) == 1084);

// Everything before the first pattern of a 15-sample module.
struct SoundtrackerHeaderRecord {
    std::array<std::uint8_t, 20> title;
    std::array<ModSampleRecord, soundtrackerSamples> samples;
    ModSongRecord song;
};
static_assert(sizeof(SoundtrackerHeaderRecord) == 600);

constexpr int modRows = 64;
constexpr int modMaxChannels = 32;
constexpr int soundtrackerChannels = 4;
constexpr std::size_t modCellBytes = 4;

// How a tag says to read the module: its source channels, the bytes between the tag and the first
// pattern, and, for the variants that other trackers wrote, the conversion record's label.
struct TagReading {
    int channels = 0;
    std::size_t bytesAfterTag = 0;
    const char* variant = nullptr;
};

struct FixedTag {
    std::string_view tag;
    TagReading reading;
};
constexpr std::array<FixedTag, 10> fixedTags = {{
    {"M.K.", {4}},
    {"M!K!", {4}},
    {"FLT4", {4}},
    {"CD81", {8}},
    {"M&K!", {4, 0, "MOD tag M&K! (NoiseTracker), 4 channels"}},
    {"N.T.", {4, 0, "MOD tag N.T. (NoiseTracker), 4 channels"}},
    {"FEST", {4, 0, "MOD tag FEST (NoiseTracker variant), 4 channels"}},
    {"NSMS", {4, 0, "MOD tag NSMS, 4 channels"}},
    {"LARD", {4, 0, "MOD tag LARD, 4 channels"}},
    {"CD61", {6, 0, "MOD tag CD61 (Octalyser), 6 channels"}},
}};

// Tags whose last character is the channel count, one of `counts`.
struct NumberedTag {
    std::string_view prefix;
    std::string_view counts;
    std::size_t bytesAfterTag = 0;
    const char* variant = nullptr;
};
constexpr std::array<NumberedTag, 2> numberedTags = {{
    {"TDZ", "1234", 0, "MOD tag TDZx (TakeTracker), 1 to 4 channels"},
    {"FA0", "468", 4, "MOD tag FA0x (Digital Tracker), 4 to 8 channels"},
}};

constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// How the tag says to read the module: a fixed or numbered tag, "xCHN" with x from 1 to 9, or
// "xyCH" with two decimal digits. Nothing for any other tag or a count outside 1..32.
std::optional<TagReading> ReadingOfTag(const std::array<char, 4>& tag) {
    const std::string_view text(tag.data(), tag.size());
    for (const FixedTag& fixed : fixedTags) {
        if (text == fixed.tag) return fixed.reading;
    }
    for (const NumberedTag& numbered : numberedTags) {
        if (text.starts_with(numbered.prefix) &&
            numbered.counts.find(tag[3]) != std::string_view::npos) {
            return TagReading{tag[3] - '0', numbered.bytesAfterTag, numbered.variant};
        }
    }
    int channels = 0;
    if (text.substr(1) == "CHN" && IsDigit(tag[0])) {
        channels = tag[0] - '0';
    } else if (text.substr(2) == "CH" && IsDigit(tag[0]) && IsDigit(tag[1])) {
        channels = (tag[0] - '0') * 10 + (tag[1] - '0');
    }
    if (channels < 1 || channels > modMaxChannels) return std::nullopt;
    return TagReading{channels};
}

// The bytes of sample data that the sample records announce.
std::uint64_t SampleBytes(std::span<const ModSampleRecord> samples) {
    std::uint64_t bytes = 0;
    for (const ModSampleRecord& sample : samples) bytes += sample.lengthWords * 2u;
    return bytes;
}

// The patterns stored: one more than the highest order entry, those beyond the song included.
int PatternCount(const ModSongRecord& song) {
    return 1 + *std::max_element(song.orders.begin(), song.orders.end());
}

constexpr std::uint64_t channelPatternBytes = 64 * 4;  // one channel's cells of a pattern

// Old tools converted 669 modules to 8 channels under the tag "M.K."; only the file's size tells
// them: it holds exactly 8-channel patterns and the samples (an odd last byte aside). Such files
// also keep the converter's restart byte 0 and every sample at finetune 0 and volume 64, which
// rules out 4-channel files whose size happens to fit.
bool HoldsEightChannels(const ModHeaderRecord& header, std::optional<std::uint64_t> fileBytes) {
    if (!fileBytes || std::string_view(header.tag.data(), header.tag.size()) != "M.K." ||
        header.song.restart != 0) {
        return false;
    }
    for (const ModSampleRecord& sample : header.samples) {
        if (sample.lengthWords != 0 && (sample.finetune != 0 || sample.volume != 64)) return false;
    }
    const std::uint64_t patterns = static_cast<std::uint64_t>(PatternCount(header.song));
    const std::uint64_t samples = SampleBytes(header.samples);
    const auto layout = [&](std::uint64_t channels) {
        return sizeof(ModHeaderRecord) + patterns * channels * channelPatternBytes + samples;
    };
    const std::uint64_t even = *fileBytes & ~std::uint64_t{1};
    return even == layout(8) && even != layout(4);
}

constexpr std::uint8_t firstPeriodNote = 37;  // note byte of period 1712
constexpr std::uint16_t lowestNotePeriod = 4095;
constexpr std::uint8_t lowestNote = 12;

// The row-packed note byte of a 12-bit period: the note of the first table period not above it,
// so that a period between two entries takes the higher note; 0 is no note.
constexpr std::uint8_t NoteFromPeriod(std::uint16_t period) {
    if (period == 0) return noNote;
    if (period == lowestNotePeriod) return lowestNote;
    static_assert(std::is_sorted(ModPeriods.begin(), ModPeriods.end(), std::greater<>()));
    const auto at =
        std::lower_bound(ModPeriods.begin(), ModPeriods.end(), period, std::greater<>());
    return static_cast<std::uint8_t>(firstPeriodNote + (at - ModPeriods.begin()));
}

// Channel pans of the four-channel Amiga layout, repeated across the channels.
constexpr std::array<std::uint8_t, 4> amigaPans = {13, 51, 51, 13};

constexpr ProtrackerEffectLabels modLabels = {
    .tempo32 = "MOD F20 (tempo 32), kept as speed 32",
    .glissando = "MOD E3 (glissando control)",
    .waveform3 = "MOD E43/E73 (square waveform), kept as sine",
    .invertLoop = "MOD EF (invert loop)",
};

// What ProTracker plays otherwise than the converted pattern on a channel whose sample is
// certain, named on an earlier row of the same pattern:
// - it keeps an E5x finetune until the next instrument number, so that a later note without one
//   (a tone portamento's target too) plays at it; the converted E5x lasts until the next note;
// - an instrument number without a note swaps the sample at the playing one's loop end (or
//   silences a looping one at its end); converted, it sets only the volume. Noted where one of
//   the two samples loops.
class SampleChecks {
public:
    explicit SampleChecks(std::span<const ModSampleRecord> samples) : samples_(samples) {}

    void Add(const Event& event) {
        Channel& channel = channels_[static_cast<std::size_t>(event.channel)];
        const bool setsFinetune =
            event.command == EffectExtended && (event.parameter >> 4) == ExtFinetune;
        if (event.instrument != 0) {
            if (event.note == noNote && Known(channel.sample) && Known(event.instrument) &&
                event.instrument != channel.sample &&
                (Loops(channel.sample) || Loops(event.instrument))) {
                NoteChangedParameter("MOD instrument number alone, another sample "
                                     "(ProTracker swaps it at the loop end), kept as its volume");
            }
            channel = {.sample = event.instrument, .finetune = -1};
        } else if (event.note != noNote && !setsFinetune && channel.finetune >= 0 &&
                   Known(channel.sample) &&
                   Sample(channel.sample).finetune % 16 != channel.finetune) {
            NoteChangedParameter("MOD E5x kept by a later note without an instrument "
                                 "(ProTracker), kept for its own row");
        }
        if (setsFinetune && channel.sample != 0) channel.finetune = event.parameter & 0x0F;
    }

private:
    struct Channel {
        std::size_t sample = 0;  // 1-based; 0 while unknown
        int finetune = -1;       // the E5x in force, -1 for the sample's own
    };
    bool Known(std::size_t sample) const { return sample != 0 && sample <= samples_.size(); }
    const ModSampleRecord& Sample(std::size_t sample) const { return samples_[sample - 1]; }
    bool Loops(std::size_t sample) const { return Sample(sample).loopLengthWords > 1; }

    std::span<const ModSampleRecord> samples_;
    std::array<Channel, modMaxChannels> channels_{};
};

void ConvertPattern(PatternEmitter& emitter, std::span<const std::uint8_t> source, int channels,
                    std::span<const ModSampleRecord> samples) {
    SampleChecks sampleChecks(samples);
    for (int row = 0; row < modRows; ++row) {
        bool delayed = false;
        bool broken = false;
        for (int channel = 0; channel < channels; ++channel) {
            const auto cell = source.subspan(
                (static_cast<std::size_t>(row) * channels + channel) * modCellBytes, modCellBytes);
            const auto period = static_cast<std::uint16_t>(((cell[0] & 0x0F) << 8) | cell[1]);
            const auto instrument = static_cast<std::uint8_t>((cell[0] & 0x10) | (cell[2] >> 4));
            const Event event = ModCellEvent(channel, NoteFromPeriod(period), instrument,
                                             cell[2] & 0x0F, cell[3], modLabels);
            if (event.command == EffectExtended && (event.parameter >> 4) == ExtPatternDelay) {
                delayed = event.parameter > 0xE0;  // the row's last delay counts
            }
            broken = broken || event.command == EffectPatternBreak;
            sampleChecks.Add(event);
            emitter.Add(event);
        }
        // ProTracker plays the row after a break's target when the breaking row is delayed.
        if (delayed && broken) {
            NoteChangedParameter("MOD D with EE1-EEF on its row (ProTracker starts a row later), "
                                 "kept starting at D's row");
        }
        emitter.EndRow();
    }
}

// Sample data that begins with these five bytes is ModPlug's 4-bit ADPCM; the table follows.
constexpr std::string_view adpcmMark = "ADPCM";

// Reads one sample's data, plain signed bytes or ADPCM, which the first bytes tell apart.
int LoadSampleData(StreamReader& reader, std::size_t slot) {
    InstrumentSlot& instrument = instrumentTable[slot];
    SampleHeader& header = SampleOf(instrument.block, 0);
    std::uint8_t*& data = instrument.sampleData[0];
    if (header.length != 0) {
        std::array<std::uint8_t, adpcmMark.size()> mark{};
        if (!reader.Peek(mark)) return PrepareUnreachableSample(header, data, SampleEncoding{});
        if (std::string_view(reinterpret_cast<const char*>(mark.data()), mark.size()) ==
            adpcmMark) {
            if (!reader.Skip(mark.size())) return ResultBadFile;
            return PrepareAdpcmSample(header, data, reader.stream());
        }
    }
    return PrepareSample(header, data, reader.stream());
}

// Loads what follows the headers (the stream at the first pattern): the instruments of `samples`,
// the patterns of `channels` source channels and the sample data.
int LoadModBody(StreamReader& reader, std::span<const std::uint8_t, 20> title,
                std::span<const ModSampleRecord> samples, const ModSongRecord& songRecord,
                int channels) {
    WorkBuffer source(static_cast<std::size_t>(modMaxChannels) * modRows * modCellBytes);
    if (!source) return ResultNoMemory;

    std::copy(title.begin(), title.end(), song.title.begin());
    // The file holds 128 orders; a length of 0 wraps round to the last order 255.
    song.lastOrder = static_cast<std::uint8_t>(std::min<int>(songRecord.songLength, 128) - 1);
    std::copy(songRecord.orders.begin(), songRecord.orders.end(), orderList.begin());
    const int patternCount = PatternCount(songRecord);

    for (std::size_t slot = 0; slot < samples.size(); ++slot) {
        const ModSampleRecord& record = samples[slot];
        const std::uint32_t loopStart = record.loopStartWords * 2u;
        const ModSample sample = {.name = record.name,
                                  .length = record.lengthWords * 2u,
                                  .loopStart = loopStart,
                                  .loopEnd = loopStart + record.loopLengthWords * 2u,
                                  .finetune = record.finetune,
                                  .volume = record.volume};
        if (NewModInstrument(slot, sample) == nullptr) return ResultNoMemory;
    }

    const std::size_t patternBytes = static_cast<std::size_t>(channels) * modRows * modCellBytes;
    for (int number = 0; number < patternCount; ++number) {
        const auto pattern = source.span().first(patternBytes);
        reader.Read(pattern);
        PatternEmitter emitter;
        if (!emitter.Begin(static_cast<std::size_t>(number), modRows)) return ResultNoPatternMemory;
        ConvertPattern(emitter, pattern, channels, samples);
        emitter.Finish();
    }

    for (std::size_t slot = 0; slot < samples.size(); ++slot) {
        if (const int result = LoadSampleData(reader, slot); result != ResultOk) return result;
    }

    for (int channel = 0; channel < channels; ++channel) {
        song.channelPan[static_cast<std::size_t>(channel)] = amigaPans[channel % 4];
    }
    FinishAmigaSong();
    return ResultOk;
}

// Whether a byte may stand in a Soundtracker sample name.
constexpr bool IsNameByte(std::uint8_t c) { return c == 0 || (c >= 0x20 && c < 0x7F); }

constexpr std::uint16_t longestSoundtrackerSample = 32768;  // words
constexpr std::uint8_t loudestVolume = 64;
constexpr std::size_t orderSlots = 128;

// Whether a 15-sample header looks like the real thing in a file of `fileBytes` bytes: every
// sample record plausible, a song of 1 to 128 orders naming patterns that the file holds, and
// some sample data.
bool PlausibleSoundtracker(const SoundtrackerHeaderRecord& header, std::uint64_t fileBytes) {
    for (const ModSampleRecord& sample : header.samples) {
        if (!std::all_of(sample.name.begin(), sample.name.end(), IsNameByte) ||
            sample.volume > loudestVolume || sample.finetune != 0 ||
            sample.lengthWords > longestSoundtrackerSample) {
            return false;
        }
    }
    if (header.song.songLength == 0 || header.song.songLength > orderSlots) return false;
    if (fileBytes < sizeof header) return false;
    const std::uint64_t patternsHeld =
        (fileBytes - sizeof header) / (channelPatternBytes * soundtrackerChannels);
    const std::uint64_t patternsNamed = static_cast<std::uint64_t>(PatternCount(header.song));
    if (patternsNamed > std::min<std::uint64_t>(patternsHeld, orderSlots)) return false;
    return std::any_of(header.samples.begin(), header.samples.end(),
                       [](const ModSampleRecord& sample) { return sample.lengthWords != 0; });
}

}  // namespace

int LoadMod(void* stream) {
    StreamReader reader(stream);
    const std::optional<std::uint64_t> fileBytes = reader.BytesLeft();
    const auto header = reader.Read<ModHeaderRecord>();
    std::optional<TagReading> reading = ReadingOfTag(header.tag);
    if (!reading) return ResultBadFile;
    if (HoldsEightChannels(header, fileBytes)) {
        reading = TagReading{8, 0, "MOD tag M.K. with 8 channels, told by the file's size"};
    }
    if (reading->variant != nullptr) NoteAssumedLayout(reading->variant);
    if (!reader.Skip(static_cast<std::int64_t>(reading->bytesAfterTag))) return ResultBadFile;
    return LoadModBody(reader, header.title, header.samples, header.song, reading->channels);
}

bool IsSoundtrackerModule(void* stream) {
    StreamReader reader(stream);
    const std::optional<std::uint64_t> fileBytes = reader.BytesLeft();
    if (!fileBytes) return false;  // without the file's size nothing can be told
    // The 15-sample header, and the place where a 31-sample one keeps its tag.
    struct Probe {
        SoundtrackerHeaderRecord header;
        std::array<std::uint8_t, offsetof(ModHeaderRecord, tag) - sizeof header> beforeTag;
        std::array<char, 4> tag;
    } probe{};
    static_assert(sizeof(Probe) == offsetof(ModHeaderRecord, tag) + 4);
    if (!reader.PeekRecord(probe)) return false;
    if (ReadingOfTag(probe.tag)) return false;  // a module of 31 samples
    return PlausibleSoundtracker(probe.header, *fileBytes);
}

int LoadSoundtracker(void* stream) {
    StreamReader reader(stream);
    const auto header = reader.Read<SoundtrackerHeaderRecord>();
    NoteAssumedLayout("MOD without a tag, read as 15-sample Soundtracker module");
    return LoadModBody(reader, header.title, header.samples, header.song, soundtrackerChannels);
}

}  // namespace tunepak
