// The engine's parts as they call each other: pitch and waveform tables, the voices' mixer and
// the per-tick channel work.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "model/model.h"
#include "player/playback.h"

namespace tunepak {

// --- Pitch ---------------------------------------------------------------------------------

// The pitch of internal note n (0..119) for a sample whose C-5 rate is `rate`.
std::int32_t NotePitch(int note, std::uint32_t rate, bool amiga);
// The frequency in Hz that a pitch sounds at.
double PitchFrequency(std::int32_t pitch, std::uint32_t rate, bool amiga);

// Vibrato and tremolo waveforms (0 sine, 1 ramp down, 2 square, 3 sine): 64 positions,
// amplitude 255.
int Waveform(int wave, int position);

// --- Voices --------------------------------------------------------------------------------

// Starts `sample` (frames at `data`) on `voice` from frame `offset`; the voice ramps up from
// silence.
void StartVoice(Voice& voice, const SampleHeader& sample, const std::uint8_t* data,
                std::uint32_t offset);
// Sets the voice's gains (1/4096) and rate; gain changes ramp over `rampFrames` frames.
void SetVoiceOutput(Voice& voice, std::int32_t left, std::int32_t right, double frequency,
                    std::uint32_t outputRate, std::int32_t rampFrames);
// Hands the sounding voice of a channel to its fading slot, where it ramps to silence.
void FadeOutVoice(ChannelPlay& channel, std::int32_t rampFrames);
// Adds `frames` frames of the voice to the interleaved stereo accumulator.
void MixVoice(Voice& voice, std::span<std::int32_t> accumulator, std::uint32_t frames);

// --- Channels ------------------------------------------------------------------------------

// One row-packed event as the row reader finds it.
struct RowEvent {
    bool hasEffect = false;
    std::uint8_t parameter = 0;
    std::uint8_t command = 0;
    std::uint8_t instrument = 0;  // 1..128, 0 none
    std::uint8_t note = 0;        // row-packed note byte
    std::optional<std::uint8_t> volume;
};

// What a row-packed event does when its row is read.
void ApplyRowEvent(Playback& playback, ChannelPlay& channel, const RowEvent& event);
// Runs the channel's command on tick `tick` of its row.
void RunCommand(Playback& playback, ChannelPlay& channel, int tick);
// Starts the channel's note (its sample, pitch, envelopes) from the beginning.
void StartNote(Playback& playback, ChannelPlay& channel);
// Makes instrument slot `slot` the channel's: envelopes restart, the volume is the sample's.
void SelectInstrument(ChannelPlay& channel, int slot);
// Key off: the envelope goes on through its release; without one the volume falls to 0 (a
// later volume brings the note back, fading).
void ReleaseNote(ChannelPlay& channel);
// Advances envelopes, fade-out and automatic vibrato by one tick and sets the voice's pitch and
// gains from the channel.
void UpdateVoice(Playback& playback, ChannelPlay& channel);

}  // namespace tunepak
