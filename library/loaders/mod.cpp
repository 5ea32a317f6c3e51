// MOD loader: 31-sample modules of 1 to 32 channels, recognised by their channel tag. Every file
// that no other format claims ends up here, so a file without a known tag is refused.

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "io/services.h"
#include "loaders/loaders.h"
#include "loaders/mod_common.h"
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

// Everything before the first pattern.
struct ModHeaderRecord {
    std::array<std::uint8_t, 20> title;
    std::array<ModSampleRecord, modSamples> samples;
    std::uint8_t songLength;
    std::uint8_t restart;  // not used
    std::array<std::uint8_t, 128> orders;
    std::array<char, 4> tag;
};
static_assert(sizeof(ModHeaderRecord) == 1084);

constexpr int modRows = 64;
constexpr int modMaxChannels = 32;
constexpr std::size_t modCellBytes = 4;

struct FixedTag {
    std::string_view tag;
    int channels;
};
constexpr std::array<FixedTag, 4> fixedTags = {{
    {"M.K.", 4},
    {"M!K!", 4},
    {"FLT4", 4},
    {"CD81", 8},
}};

constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The source channel count that the tag names: a fixed tag, "xCHN" with x from 1 to 9, or "xyCH"
// with two decimal digits. Nothing for any other tag or a count outside 1..32.
std::optional<int> ChannelsFromTag(const std::array<char, 4>& tag) {
    const std::string_view text(tag.data(), tag.size());
    for (const FixedTag& fixed : fixedTags) {
        if (text == fixed.tag) return fixed.channels;
    }
    int channels = 0;
    if (text.substr(1) == "CHN" && IsDigit(tag[0])) {
        channels = tag[0] - '0';
    } else if (text.substr(2) == "CH" && IsDigit(tag[0]) && IsDigit(tag[1])) {
        channels = (tag[0] - '0') * 10 + (tag[1] - '0');
    }
    if (channels < 1 || channels > modMaxChannels) return std::nullopt;
    return channels;
}

// Five octaves of periods, the longest (lowest note) first.
constexpr std::array<std::uint16_t, 60> modPeriods = {
    1712, 1616, 1525, 1440, 1357, 1281, 1209, 1141, 1077, 1017, 961, 907,
    856,  808,  762,  720,  678,  640,  604,  570,  538,  508,  480, 453,
    428,  404,  381,  360,  339,  320,  302,  285,  269,  254,  240, 226,
    214,  202,  190,  180,  170,  160,  151,  143,  135,  127,  120, 113,
    107,  101,  95,   90,   85,   80,   76,   71,   67,   64,   60,  57,
};
constexpr std::uint8_t firstPeriodNote = 37;  // note byte of period 1712
constexpr std::uint16_t lowestNotePeriod = 4095;
constexpr std::uint8_t lowestNote = 12;

// The row-packed note byte of a 12-bit period: the note of the first table period not above it,
// so that a period between two entries takes the higher note; 0 is no note.
constexpr std::uint8_t NoteFromPeriod(std::uint16_t period) {
    if (period == 0) return noNote;
    if (period == lowestNotePeriod) return lowestNote;
    static_assert(std::is_sorted(modPeriods.begin(), modPeriods.end(), std::greater<>()));
    const auto at = std::lower_bound(modPeriods.begin(), modPeriods.end(), period, std::greater<>());
    return static_cast<std::uint8_t>(firstPeriodNote + (at - modPeriods.begin()));
}

// Channel pans of the four-channel Amiga layout, repeated across the channels.
constexpr std::array<std::uint8_t, 4> amigaPans = {13, 51, 51, 13};

void ConvertPattern(PatternEmitter& emitter, std::span<const std::uint8_t> source, int channels) {
    for (int row = 0; row < modRows; ++row) {
        for (int channel = 0; channel < channels; ++channel) {
            const auto cell = source.subspan(
                (static_cast<std::size_t>(row) * channels + channel) * modCellBytes, modCellBytes);
            const auto period = static_cast<std::uint16_t>(((cell[0] & 0x0F) << 8) | cell[1]);
            const auto instrument = static_cast<std::uint8_t>((cell[0] & 0x10) | (cell[2] >> 4));
            emitter.Add(ModCellEvent(channel, NoteFromPeriod(period), instrument, cell[2] & 0x0F,
                                     cell[3]));
        }
        emitter.EndRow();
    }
}

}  // namespace

int LoadMod(void* stream) {
    ModHeaderRecord header{};
    ReadRecord(stream, header);
    const std::optional<int> tagChannels = ChannelsFromTag(header.tag);
    if (!tagChannels) return ResultBadFile;
    const int channels = *tagChannels;

    WorkBuffer source(static_cast<std::size_t>(modMaxChannels) * modRows * modCellBytes);
    if (!source) return ResultNoMemory;

    std::copy(header.title.begin(), header.title.end(), song.title.begin());
    // The file holds 128 orders; a length of 0 wraps round to the last order 255.
    song.lastOrder = static_cast<std::uint8_t>(std::min<int>(header.songLength, 128) - 1);
    std::copy(header.orders.begin(), header.orders.end(), orderList.begin());
    const int patternCount = 1 + *std::max_element(header.orders.begin(), header.orders.end());

    for (std::size_t slot = 0; slot < modSamples; ++slot) {
        const ModSampleRecord& record = header.samples[slot];
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
        PatternEmitter emitter;
        if (!emitter.Begin(static_cast<std::size_t>(number), modRows)) return ResultNoPatternMemory;
        const auto pattern = source.span().first(patternBytes);
        ReadBytes(stream, pattern);
        ConvertPattern(emitter, pattern, channels);
        emitter.Finish();
    }

    for (std::size_t slot = 0; slot < modSamples; ++slot) {
        InstrumentSlot& instrument = instrumentTable[slot];
        if (const int result = PrepareSample(SampleOf(instrument.block, 0),
                                             instrument.sampleData[0], stream);
            result != ResultOk) {
            return result;
        }
    }

    for (int channel = 0; channel < channels; ++channel) {
        song.channelPan[static_cast<std::size_t>(channel)] = amigaPans[channel % 4];
    }
    FinishAmigaSong();
    return ResultOk;
}

}  // namespace tunepak
