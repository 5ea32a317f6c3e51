// Voices: starting a sample, following its loops, and mixing it with linear interpolation into
// a 32-bit stereo accumulator.

#include <algorithm>
#include <cmath>

#include "player/engine.h"

namespace tunepak {
namespace {

constexpr std::uint64_t one = std::uint64_t{1} << 32;  // one frame in 32.32 fixed point
constexpr int gainFraction = 16;                       // extra gain bits while ramping

// A frame of the sample at `index`, as a 16-bit value; 16-bit frames are little-endian.
template <class Frame>
inline std::int32_t FrameAt(const std::uint8_t* frames, std::uint64_t index) {
    if constexpr (sizeof(Frame) == 1) {
        return std::int32_t{static_cast<std::int8_t>(frames[index])} * 256;
    } else {
        const std::uint8_t* frame = frames + 2 * index;
        return static_cast<std::int16_t>(frame[0] | (frame[1] << 8));
    }
}

// Mixes `count` frames, all of which lie inside the sample's current span; with Ramp the gains
// move by their per-frame steps.
template <class Frame, bool Ramp>
void MixRun(Voice& voice, std::int32_t* out, std::uint32_t count, std::int64_t stepLeft,
            std::int64_t stepRight) {
    const std::uint8_t* frames = voice.data;
    std::uint64_t position = voice.position;
    const std::uint64_t step = voice.step;
    std::int64_t gainLeft = voice.gainLeft;
    std::int64_t gainRight = voice.gainRight;
    auto left = static_cast<std::int32_t>(gainLeft >> gainFraction);
    auto right = static_cast<std::int32_t>(gainRight >> gainFraction);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t index = position >> 32;
        const std::int32_t a = FrameAt<Frame>(frames, index);
        const std::int32_t b = FrameAt<Frame>(frames, index + 1);
        const auto fraction = static_cast<std::int32_t>((position >> 17) & 0x7FFF);
        const std::int32_t sample = a + (((b - a) * fraction) >> 15);
        if constexpr (Ramp) {
            gainLeft += stepLeft;
            gainRight += stepRight;
            left = static_cast<std::int32_t>(gainLeft >> gainFraction);
            right = static_cast<std::int32_t>(gainRight >> gainFraction);
        }
        out[2 * i] += (sample * left) >> 12;
        out[2 * i + 1] += (sample * right) >> 12;
        if (voice.backwards) {
            position -= step;
        } else {
            position += step;
        }
    }
    voice.position = position;
    if constexpr (Ramp) {
        voice.gainLeft = gainLeft;
        voice.gainRight = gainRight;
    }
}

// How many frames the voice plays before it crosses the end of its span (at least 1).
std::uint64_t FramesToBoundary(const Voice& voice) {
    if (voice.step == 0) return ~std::uint64_t{0};
    if (voice.backwards) {
        const std::uint64_t start = std::uint64_t{voice.loopStart} << 32;
        return (voice.position - start) / voice.step + 1;
    }
    const std::uint64_t end = std::uint64_t{voice.loopMode != 0 ? voice.loopEnd : voice.length}
                              << 32;
    return (end - voice.position + voice.step - 1) / voice.step;
}

// Brings a voice that crossed its span's end back into the sample: around the loop, back from
// a ping-pong turn, or to its end.
void WrapPosition(Voice& voice) {
    const std::uint64_t start = std::uint64_t{voice.loopStart} << 32;
    const std::uint64_t end = std::uint64_t{voice.loopMode != 0 ? voice.loopEnd : voice.length}
                              << 32;
    const std::uint64_t span = end - start;
    if (voice.backwards) {
        if (voice.position >= start && voice.position < end) return;
        // Went below the loop start (the unsigned position may have wrapped round).
        const std::uint64_t under = (start - voice.position) % span;
        voice.position = start + under;
        voice.backwards = false;
        return;
    }
    if (voice.position < end) return;
    if (voice.loopMode == 0) {
        voice.data = nullptr;
    } else if (voice.loopMode == 1) {
        voice.position = start + (voice.position - start) % span;
    } else {
        const std::uint64_t over = (voice.position - end) % span;
        voice.position = end - 1 - over;
        voice.backwards = true;
    }
}

}  // namespace

void StartVoice(Voice& voice, const SampleHeader& sample, const std::uint8_t* data,
                std::uint32_t offset) {
    voice.data = data;
    voice.sixteenBit = (sample.flags & sixteenBit) != 0;
    voice.length = sample.length;
    voice.loopEnd = std::min<std::uint32_t>(sample.loopEnd, voice.length);
    voice.loopStart = sample.loopStart;
    voice.loopMode = 0;
    if ((sample.flags & loop) && voice.loopStart < voice.loopEnd) {
        voice.loopMode = (sample.flags & pingPong) ? 2 : 1;
    }
    voice.backwards = false;
    voice.position = std::uint64_t{std::min(offset, voice.length - 1)} << 32;
    voice.gainLeft = voice.gainRight = 0;
    voice.targetLeft = voice.targetRight = 0;
    voice.rampFrames = 0;
    voice.releasing = false;
}

void SetVoiceOutput(Voice& voice, std::int32_t left, std::int32_t right, double frequency,
                    std::uint32_t outputRate, std::int32_t rampFrames) {
    const double step = std::clamp(frequency / outputRate, 0.0, 65536.0);
    voice.step = static_cast<std::uint64_t>(step * static_cast<double>(one));
    if (left == voice.targetLeft && right == voice.targetRight) return;
    voice.targetLeft = left;
    voice.targetRight = right;
    voice.rampFrames = std::max(rampFrames, 1);
}

void FadeOutVoice(ChannelPlay& channel, std::int32_t rampFrames) {
    if (channel.voice.data == nullptr) return;
    channel.fading = channel.voice;
    channel.fading.releasing = true;
    channel.fading.targetLeft = channel.fading.targetRight = 0;
    channel.fading.rampFrames = std::max(rampFrames, 1);
    channel.voice.data = nullptr;
}

void MixVoice(Voice& voice, std::span<std::int32_t> accumulator, std::uint32_t frames) {
    std::int32_t* out = accumulator.data();
    while (frames > 0 && voice.data != nullptr) {
        WrapPosition(voice);
        if (voice.data == nullptr) break;
        const bool ramp = voice.rampFrames > 0;
        std::uint64_t count = std::min<std::uint64_t>(frames, FramesToBoundary(voice));
        std::int64_t stepLeft = 0;
        std::int64_t stepRight = 0;
        if (ramp) {
            count = std::min<std::uint64_t>(count, static_cast<std::uint64_t>(voice.rampFrames));
            const std::int64_t frames64 = voice.rampFrames;
            stepLeft = ((std::int64_t{voice.targetLeft} << gainFraction) - voice.gainLeft) /
                       frames64;
            stepRight = ((std::int64_t{voice.targetRight} << gainFraction) - voice.gainRight) /
                        frames64;
        }
        const auto run = static_cast<std::uint32_t>(count);
        if (voice.sixteenBit) {
            if (ramp) {
                MixRun<std::int16_t, true>(voice, out, run, stepLeft, stepRight);
            } else {
                MixRun<std::int16_t, false>(voice, out, run, 0, 0);
            }
        } else if (ramp) {
            MixRun<std::int8_t, true>(voice, out, run, stepLeft, stepRight);
        } else {
            MixRun<std::int8_t, false>(voice, out, run, 0, 0);
        }
        if (ramp) {
            voice.rampFrames -= static_cast<std::int32_t>(run);
            if (voice.rampFrames == 0) {
                voice.gainLeft = std::int64_t{voice.targetLeft} << gainFraction;
                voice.gainRight = std::int64_t{voice.targetRight} << gainFraction;
                if (voice.releasing) voice.data = nullptr;
            }
        }
        out += 2 * std::size_t{run};
        frames -= run;
        WrapPosition(voice);
    }
}

}  // namespace tunepak
