// The song's clock: orders and rows (or event streams) tick by tick, the length of each tick in
// frames, and the render loop that mixes the voices between ticks.

#include <algorithm>
#include <array>
#include <cmath>

#include "model/patterns.h"
#include "player/engine.h"

namespace tunepak {
namespace {

constexpr std::size_t chunkFrames = 512;
constexpr int emptyPatternRows = 64;
constexpr std::uint8_t skipOrder = 254;
constexpr std::uint8_t endOrder = 255;

bool RowPackedSong() { return (song.songFlags & rowPacked) != 0; }

std::span<const std::uint8_t> PatternBytes(int order) {
    const PatternSlot& slot = patternTable[orderList[static_cast<std::size_t>(order)]];
    if (slot.data == nullptr) return {};
    return {slot.data, slot.size};
}

// The position just after the row that starts at `position` (bounded by the block).
std::size_t SkipRow(std::span<const std::uint8_t> block, std::size_t position) {
    while (position < block.size()) {
        const std::uint8_t flag = block[position++];
        if (flag == 0) break;
        position += 2 * ((flag >> 7) & 1) + 2 * ((flag >> 6) & 1) + ((flag >> 5) & 1);
    }
    return std::min(position, block.size());
}

std::size_t RowOffset(std::span<const std::uint8_t> block, int row) {
    std::size_t position = 1;
    for (int r = 0; r < row; ++r) position = SkipRow(block, position);
    return std::min(position, block.size());
}

// Event stream: the end marker at `position` (or the block's end).
bool StreamEnds(std::span<const std::uint8_t> block, std::size_t position) {
    return position + 3 > block.size() ||
           (block[position] == 0x80 && block[position + 1] == 0 && block[position + 2] == 0);
}

// The delay of the group that starts at `position`: its delta, or 0 when its event has none.
std::uint32_t GroupDelay(std::span<const std::uint8_t> block, std::size_t position) {
    if (StreamEnds(block, position) || !(block[position] & 0x80)) return 0;
    return block[position + 1] | (block[position + 2] << 8);
}

// Moves to order entry `order` at `row`, passing over entries marked to be skipped; at the end
// of the song it starts over when looping, else the song ends. False when it has ended.
bool EnterOrder(Playback& playback, int order, int row) {
    bool wrapped = false;
    for (int guard = 0; guard <= 2 * 256; ++guard) {
        if (order > song.lastOrder || orderList[static_cast<std::size_t>(order)] == endOrder) {
            if (!playback.settings.loop || wrapped) break;
            // The first entry follows the last one, for a break's row too.
            wrapped = true;
            order = 0;
            continue;
        }
        if (orderList[static_cast<std::size_t>(order)] == skipOrder) {
            ++order;
            continue;
        }
        playback.order = order;
        const std::span<const std::uint8_t> block = PatternBytes(order);
        if (RowPackedSong()) {
            playback.rows = block.empty() ? emptyPatternRows : block[0] + 1;
            playback.row = row < playback.rows ? row : 0;
            playback.cursor = block.empty() ? 0 : RowOffset(block, playback.row);
        } else {
            playback.cursor = 0;
            playback.waitTicks = block.empty() ? 0 : GroupDelay(block, 0);
        }
        for (ChannelPlay& channel : playback.channels) channel.loopRow = channel.loopCount = 0;
        return true;
    }
    playback.ended = true;
    return false;
}

// Moves to the row that follows the current one without jumps; false at the song's end.
bool NextPosition(Playback& playback, int jump, int breakRow) {
    if (jump >= 0) return EnterOrder(playback, jump, std::max(breakRow, 0));
    if (breakRow >= 0) return EnterOrder(playback, playback.order + 1, breakRow);
    if (playback.row + 1 < playback.rows) {
        ++playback.row;
        return true;
    }
    return EnterOrder(playback, playback.order + 1, 0);
}

// Whether the current row is played for the first time with the channels' loop counters as
// they stand; records it. Pattern loops of several channels can keep restarting each other, so
// the counters tell a new pass from a repeat. Loops that play more rows in succession than the
// record holds end the song there.
bool FirstVisit(Playback& playback) {
    const std::size_t position = static_cast<std::size_t>(playback.order) * 256 +
                                 static_cast<std::size_t>(playback.row);
    std::uint64_t key = 14695981039346656037ull;  // FNV-1a over the position and the counters
    bool counting = false;
    const auto mix = [&key](std::uint64_t byte) { key = (key ^ byte) * 1099511628211ull; };
    mix(position & 0xFF);
    mix(position >> 8);
    for (const ChannelPlay& channel : playback.channels) {
        mix(channel.loopCount);
        counting = counting || channel.loopCount != 0;
    }
    if (!counting) {
        if (playback.played.test(position)) return false;
        playback.played.set(position);
        // Endless playing has to come back to this row, or stay among rows with counters
        // running from here on: the passes before can be forgotten.
        for (int k = 0; k < playback.loopStatesUsed; ++k) {
            playback.loopStates[playback.loopStateSlots[static_cast<std::size_t>(k)]] = 0;
        }
        playback.loopStatesUsed = 0;
        return true;
    }
    key |= 1;  // 0 marks a free slot
    const std::size_t slots = playback.loopStates.size();
    for (std::size_t i = key % slots;; i = (i + 1) % slots) {
        if (playback.loopStates[i] == key) return false;
        if (playback.loopStates[i] == 0) {
            if (playback.loopStatesUsed + 1 >= static_cast<int>(slots)) return false;
            playback.loopStates[i] = key;
            playback.loopStateSlots[static_cast<std::size_t>(playback.loopStatesUsed++)] =
                static_cast<std::uint16_t>(i);
            return true;
        }
    }
}

// Moves to the row after the current one, as the row's jumps, breaks and loops ask. Without
// looping, a row played before (with the same loop counters) ends the song: a jump back is
// where a song starts over.
bool AdvanceRow(Playback& playback) {
    const int jump = playback.jumpOrder;
    const int breakRow = playback.breakRow;
    const int loopRow = playback.loopRow;
    playback.jumpOrder = playback.breakRow = playback.loopRow = -1;
    if (!playback.started) {
        playback.started = true;
        if (!EnterOrder(playback, 0, 0)) return false;
    } else if (loopRow >= 0) {
        playback.row = std::min(loopRow, playback.rows - 1);
        playback.cursor = RowOffset(PatternBytes(playback.order), playback.row);
    } else if (!NextPosition(playback, jump, breakRow)) {
        return false;
    }
    if (playback.settings.loop || FirstVisit(playback)) return true;
    playback.ended = true;
    return false;
}

void ReadRow(Playback& playback) {
    for (ChannelPlay& channel : playback.channels) {
        channel.command = channel.parameter = 0;
        channel.pitch = channel.basePitch;
        channel.volume = channel.baseVolume;
        channel.delayedNote = 0;
    }
    const std::span<const std::uint8_t> block = PatternBytes(playback.order);
    std::size_t position = playback.cursor;
    while (position < block.size()) {
        const std::uint8_t flag = block[position++];
        if (flag == 0) break;
        const std::size_t length =
            2 * ((flag >> 7) & 1) + 2 * ((flag >> 6) & 1) + ((flag >> 5) & 1);
        if (position + length > block.size()) {
            position = block.size();
            break;
        }
        RowEvent event;
        if (flag & hasEffect) {
            event.hasEffect = true;
            event.parameter = block[position++];
            event.command = block[position++];
        }
        if (flag & hasNote) {
            event.instrument = block[position++];
            event.note = block[position++];
        }
        if (flag & hasVolume) event.volume = block[position++];
        ApplyRowEvent(playback, playback.channels[flag & 31], event);
    }
    playback.cursor = position;
}

void RowTick(Playback& playback) {
    if (playback.tick == 0 && !playback.repeating) {
        if (!AdvanceRow(playback)) return;
        ReadRow(playback);
    }
    for (ChannelPlay& channel : playback.channels) {
        if (channel.command != 0 || channel.parameter != 0) {
            RunCommand(playback, channel, playback.tick);
        }
    }
    if (playback.ended) return;
    ++playback.tick;
    if (playback.tick >= playback.speed) {
        playback.tick = 0;
        playback.repeating = playback.repeatsLeft > 0;
        if (playback.repeating) --playback.repeatsLeft;
    }
}

// Plays the events of the group at the cursor and finds when the next one falls due.
void PlayGroup(Playback& playback) {
    const std::span<const std::uint8_t> block = PatternBytes(playback.order);
    std::size_t position = playback.cursor;
    const auto byteAt = [&](std::size_t offset) -> std::uint8_t {
        return position + offset < block.size() ? block[position + offset] : 0;
    };
    bool first = true;
    while (!StreamEnds(block, position) && (first || !(block[position] & 0x80))) {
        first = false;
        const std::uint8_t flag = block[position];
        position += (flag & 0x80) ? 3 : 1;
        ChannelPlay& channel = playback.channels[flag & 63];
        if (flag & 0x40) {
            const std::uint8_t type = byteAt(0);
            const std::uint8_t value = byteAt(1);
            switch (type) {
            case 0: SelectInstrument(channel, value & 127); break;
            case 1: channel.pan = value; break;
            case 2: channel.volume = channel.baseVolume = std::min<std::uint8_t>(value, 64); break;
            case 4:
                channel.bend = static_cast<std::int16_t>(value | (byteAt(2) << 8));
                break;
            case 5: playback.speed = std::max<int>(value, 1); break;
            case 6: playback.tempo = std::max<int>(value, 1); break;
            default: break;
            }
            position += type == 4 ? 3 : type <= 6 ? 2 : 1;
        } else if (byteAt(0) & 0x80) {
            ReleaseNote(channel);
            position += 2;
        } else {
            const int note = byteAt(0) - 12;
            const std::uint8_t volume = byteAt(1);
            const std::uint8_t instrument = byteAt(2);
            position += 5;
            if (note >= 0 && note < 120) {
                channel.note = static_cast<std::uint8_t>(note);
                channel.instrument = instrument & 127;
                channel.bend = 0;
                StartNote(playback, channel);
                channel.volume = channel.baseVolume = std::min<std::uint8_t>(volume, 64);
            }
        }
    }
    playback.cursor = std::min(position, block.size());
    playback.waitTicks = GroupDelay(block, playback.cursor);
}

void StreamTick(Playback& playback) {
    if (!playback.started) {
        playback.started = true;
        if (!EnterOrder(playback, 0, 0)) return;
    }
    // Patterns that take no time at all are passed over, but the whole order list only once.
    int entered = 0;
    while (playback.waitTicks == 0) {
        const std::span<const std::uint8_t> block = PatternBytes(playback.order);
        if (StreamEnds(block, playback.cursor)) {
            if (++entered > song.lastOrder + 1 || !EnterOrder(playback, playback.order + 1, 0)) {
                playback.ended = true;
                return;
            }
            continue;
        }
        PlayGroup(playback);
    }
    --playback.waitTicks;
}

// Frames in the next tick: a tick lasts 2.5 / tempo seconds in row-packed songs and
// 60 / (speed x tempo) in event streams; the fraction of a frame is carried to the next tick.
std::uint32_t TickFrames(Playback& playback) {
    const std::uint64_t rate = playback.settings.rate;
    const auto tempo = static_cast<std::uint64_t>(std::max(playback.tempo, 1));
    const auto speed = static_cast<std::uint64_t>(std::max(playback.speed, 1));
    const std::uint64_t numerator = RowPackedSong() ? rate * 5 : rate * 60;
    const std::uint64_t denominator = RowPackedSong() ? 2 * tempo : tempo * speed;
    const std::uint64_t total = playback.frameRemainder + numerator;
    playback.frameRemainder = total % denominator;
    return static_cast<std::uint32_t>(total / denominator);
}

// Plays one tick; false when the song has ended.
bool NextTick(Playback& playback) {
    if (playback.ended) return false;
    if (RowPackedSong()) {
        RowTick(playback);
    } else {
        StreamTick(playback);
    }
    if (playback.ended) return false;
    for (ChannelPlay& channel : playback.channels) UpdateVoice(playback, channel);
    playback.tickFramesLeft = TickFrames(playback);
    ++playback.ticksPlayed;
    return true;
}

void MixChunk(Playback& playback, std::span<std::int16_t> out) {
    std::array<std::int32_t, 2 * chunkFrames> accumulator{};
    const auto frames = static_cast<std::uint32_t>(out.size() / 2);
    const std::span<std::int32_t> used(accumulator.data(), out.size());
    for (ChannelPlay& channel : playback.channels) {
        if (channel.voice.data != nullptr) MixVoice(channel.voice, used, frames);
        if (channel.fading.data != nullptr) MixVoice(channel.fading, used, frames);
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::int16_t>(std::clamp(accumulator[i], -32768, 32767));
    }
}

}  // namespace

int StartPlayback(Playback& playback, const PlaybackSettings& settings) {
    // Whatever the record played before (voices into samples since released) goes first, so
    // that a refused start leaves a song that has ended.
    playback = Playback{};
    playback.settings = settings;
    if (song.channelCount == 0) {
        playback.ended = true;
        return ResultNotLoaded;
    }
    playback.settings.rate = std::clamp<std::uint32_t>(settings.rate, 8000, 192000);
    playback.speed = std::max<int>(song.initialSpeed, 1);
    playback.tempo = std::max<int>(song.initialTempo, 1);
    const int channels = std::min<int>(song.channelCount, maxChannels);
    for (int c = 0; c < maxChannels; ++c) {
        playback.channels[static_cast<std::size_t>(c)].pan =
            c < channels ? song.channelPan[static_cast<std::size_t>(c)] : 32;
    }
    // Headroom: the gain falls with the square root of the channel count, so that a module of
    // four channels at full volume, two to a side, reaches full scale rather than clipping at
    // twice it.
    playback.masterGain = static_cast<std::int32_t>(
        std::lround(4096.0 / std::sqrt(static_cast<double>(channels))));
    return ResultOk;
}

std::size_t RenderFrames(Playback& playback, std::span<std::int16_t> out) {
    const std::size_t frames = out.size() / 2;
    std::size_t done = 0;
    while (done < frames) {
        if (playback.tickFramesLeft == 0) {
            if (!NextTick(playback)) break;
            continue;
        }
        const std::size_t run =
            std::min({std::size_t{playback.tickFramesLeft}, frames - done, chunkFrames});
        if (playback.mix) MixChunk(playback, out.subspan(2 * done, 2 * run));
        playback.tickFramesLeft -= static_cast<std::uint32_t>(run);
        playback.framesPlayed += run;
        done += run;
    }
    return done;
}

std::uint64_t SongFrames(std::uint32_t rate, std::uint64_t limit) {
    static Playback playback;  // large; measuring needs no more than one at a time
    if (StartPlayback(playback, PlaybackSettings{rate, false}) != ResultOk) return 0;
    playback.mix = false;
    std::uint64_t frames = 0;
    while (frames < limit && NextTick(playback)) frames += playback.tickFramesLeft;
    return std::min(frames, limit);
}

std::uint64_t SongMilliseconds(std::uint32_t limitSeconds) {
    constexpr std::uint32_t rate = 48000;
    return SongFrames(rate, std::uint64_t{limitSeconds} * rate) * 1000 / rate;
}

}  // namespace tunepak
