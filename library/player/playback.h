// The playback engine: plays the loaded song tick by tick (rows or event streams, effect
// commands, instruments with envelopes) and mixes its voices into 16-bit stereo.
//
// Use: load a module, StartPlayback, then RenderFrames until it returns fewer frames than
// asked for (the song has ended). SongFrames measures a song without mixing it.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tunepak {

struct PlaybackSettings {
    std::uint32_t rate = 44100;  // output frames per second, 8,000 to 192,000
    bool loop = false;           // a backward jump or the end of the order list starts over
};

// One sample being played: where it is, how fast it goes, how loud it is on either side.
struct Voice {
    const std::uint8_t* data = nullptr;  // null: silent
    bool sixteenBit = false;
    std::uint8_t loopMode = 0;           // 0 none, 1 forward, 2 ping-pong
    bool backwards = false;              // a ping-pong loop running back
    std::uint32_t length = 0;
    std::uint32_t loopStart = 0;
    std::uint32_t loopEnd = 0;
    std::uint64_t position = 0;          // frames, 32.32 fixed point
    std::uint64_t step = 0;              // frames per output frame, 32.32 fixed point
    // Gains in 1/4096, with 16 more bits of fraction while they ramp toward their targets.
    std::int64_t gainLeft = 0;
    std::int64_t gainRight = 0;
    std::int32_t targetLeft = 0;
    std::int32_t targetRight = 0;
    std::int32_t rampFrames = 0;         // frames left to reach the targets
    bool releasing = false;              // ramping down to silence, then stops
};

// What the engine keeps per channel, beyond the voice.
struct ChannelPlay {
    std::uint8_t instrument = 128;  // slot, 128 none
    std::uint8_t note = 127;        // internal note, 127 none
    std::uint8_t sample = 255;      // index of the sample playing, 255 none
    std::uint8_t sampleInstrument = 128;  // the slot whose sample that is (an instrument
                                          // given without a note leaves the sample playing)
    std::uint8_t command = 0;
    std::uint8_t parameter = 0;
    std::int32_t pitch = 0;         // pitch units (Amiga periods x 16, or linear)
    std::int32_t basePitch = 0;
    std::int32_t targetPitch = 0;
    std::int32_t bend = 0;          // event-stream pitch bend
    std::uint32_t rate = 8363;      // C-5 rate
    std::int32_t volume = 0;        // 0..64
    std::int32_t baseVolume = 0;
    std::uint8_t pan = 32;          // 0..64, bit 7: the alternative stereo treatment
    std::uint8_t portaSpeed = 0;
    std::uint8_t vibratoSpeed = 0, vibratoDepth = 0, vibratoPosition = 0, vibratoWave = 0;
    std::uint8_t tremoloSpeed = 0, tremoloDepth = 0, tremoloPosition = 0, tremoloWave = 0;
    std::uint8_t offset = 0;        // remembered sample offset, x 256 frames
    std::uint8_t loopRow = 0;       // pattern loop start
    std::uint8_t loopCount = 0;
    std::uint8_t delayedNote = 0;   // row-packed note byte waiting for its note delay
    bool keyOn = false;
    std::int32_t fade = 0;          // 1024 down to 0 after key off
    std::uint32_t volumeEnvelope = 0;  // envelope positions, ticks x 16
    std::uint32_t panEnvelope = 0;
    std::uint32_t autoVibratoPosition = 0;
    std::uint32_t autoVibratoTicks = 0;
    Voice voice;
    Voice fading;  // the previous note, ramping out so that a new start does not click
};

struct Playback {
    PlaybackSettings settings;
    bool ended = false;
    bool mix = true;            // false: time the song only
    // Position.
    int order = -1;
    int row = 0;
    int tick = 0;
    int speed = 6;
    int tempo = 125;
    int rows = 64;              // rows of the current pattern
    int repeatsLeft = 0;        // pattern delay: plays of the row still to come
    bool repeating = false;     // the row is being played again
    int jumpOrder = -1;         // after this row
    int breakRow = -1;
    int loopRow = -1;
    std::size_t cursor = 0;     // row-packed: where the next row starts; stream: next event
    std::uint32_t waitTicks = 0;  // event stream: ticks until the next group
    bool started = false;
    // Rows played, by order entry and row, with every channel's pattern-loop counter at 0, and
    // the rows played since the last new one of those with some counter running (fingerprints
    // of the position and all counters, open addressing). Without looping, coming back to a row with
    // the same counters ends the song: from there it would play the same for ever.
    std::bitset<256 * 256> played;
    std::array<std::uint64_t, 4096> loopStates{};
    std::array<std::uint16_t, 4095> loopStateSlots{};  // the slots in use, for clearing
    int loopStatesUsed = 0;
    // Timing: frames left in the current tick and the fraction carried between ticks.
    std::uint32_t tickFramesLeft = 0;
    std::uint64_t frameRemainder = 0;
    std::uint64_t framesPlayed = 0;
    std::uint64_t ticksPlayed = 0;
    std::int32_t masterGain = 4096;  // 1/4096
    std::array<ChannelPlay, 64> channels{};
};

// Starts the loaded song from its first order. ResultNotLoaded (3) when no module is loaded;
// the record is then a song that has ended.
int StartPlayback(Playback& playback, const PlaybackSettings& settings);

// Renders up to out.size() / 2 frames of interleaved 16-bit stereo; returns the frames written,
// fewer only when the song has ended.
std::size_t RenderFrames(Playback& playback, std::span<std::int16_t> out);

// The length of the loaded song in frames at `rate`, as RenderFrames would play it without
// looping, found without mixing; at most `limit` frames (a song that runs on is cut there).
std::uint64_t SongFrames(std::uint32_t rate, std::uint64_t limit);

// The playing time of the loaded song in milliseconds, at most `limitSeconds` (for reports).
std::uint64_t SongMilliseconds(std::uint32_t limitSeconds = 3 * 3600);

}  // namespace tunepak
