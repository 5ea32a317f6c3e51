// What happens on a channel: notes and instruments as events give them, the effect commands
// tick by tick, envelopes, fade-out and automatic vibrato, and what the voice makes of it all.

#include <algorithm>
#include <cmath>

#include "model/patterns.h"
#include "player/engine.h"

namespace tunepak {
namespace {

constexpr std::int32_t slideUnit = 16;
// Fade-out runs from 1,024 down to 0, one instrument `fadeOut` step per tick after key off: the
// unit of IT fade-outs, which conversion keeps as they are. XM fade-outs, stored as a 64th of
// their value, fade at half FastTracker 2's speed, and the conversion report says so.
constexpr std::int32_t fadeStart = 1024;
constexpr std::uint32_t envelopeTick = 16;  // envelope positions are ticks x 16

bool Amiga() { return (song.songFlags & amigaSlides) != 0; }

// The slide limits; a song whose lower limit lies above its upper one (as S3M files without
// Amiga limits store them) slides over the whole pitch range.
std::int32_t LowLimit() { return song.minPeriod <= song.maxPeriod ? song.minPeriod : 1; }
std::int32_t HighLimit() { return song.minPeriod <= song.maxPeriod ? song.maxPeriod : 65535; }

const InstrumentRecord* InstrumentOf(const ChannelPlay& channel) {
    if (channel.instrument >= instrumentTable.size()) return nullptr;
    const std::uint8_t* block = instrumentTable[channel.instrument].block;
    if (block == nullptr || !IsInstrumentBlock(block)) return nullptr;
    return reinterpret_cast<const InstrumentRecord*>(block);
}

// The sample index that the channel's instrument plays `note` with, or nothing.
std::optional<std::size_t> SampleFor(const ChannelPlay& channel, int note) {
    const InstrumentRecord* record = InstrumentOf(channel);
    if (record == nullptr || note < 0 || note >= 120) return std::nullopt;
    const std::uint8_t index = record->sampleMap[static_cast<std::size_t>(note)];
    if (index >= record->sampleCount) return std::nullopt;
    return index;
}

const SampleHeader& HeaderOf(const ChannelPlay& channel, std::size_t sample) {
    return SampleOf(instrumentTable[channel.instrument].block, sample);
}

std::int32_t RampFrames(const Playback& playback) {
    return static_cast<std::int32_t>(std::max<std::uint32_t>(16, playback.settings.rate / 400));
}

void SlidePitch(ChannelPlay& channel, std::int32_t delta) {
    channel.pitch = std::clamp(channel.pitch + delta, LowLimit(), HighLimit());
    channel.basePitch = channel.pitch;
}

void SlideVolume(ChannelPlay& channel, std::uint8_t parameter) {
    const std::int32_t delta = parameter > 0x0F ? parameter >> 4 : -(parameter & 0x0F);
    channel.volume = std::clamp(channel.volume + delta, 0, 64);
    channel.baseVolume = channel.volume;
}

void SetVolume(ChannelPlay& channel, std::int32_t volume) {
    channel.volume = channel.baseVolume = std::clamp(volume, 0, 64);
}

// Returns whether the target was reached.
bool TonePortamento(ChannelPlay& channel) {
    const std::int32_t step = channel.portaSpeed * slideUnit;
    if (channel.pitch < channel.targetPitch) {
        channel.pitch = std::min(channel.pitch + step, channel.targetPitch);
    } else {
        channel.pitch = std::max(channel.pitch - step, channel.targetPitch);
    }
    channel.basePitch = channel.pitch;
    return channel.pitch == channel.targetPitch;
}

void Vibrato(ChannelPlay& channel) {
    channel.vibratoPosition = static_cast<std::uint8_t>((channel.vibratoPosition +
                                                         channel.vibratoSpeed) & 63);
    channel.pitch = channel.basePitch +
                    ((Waveform(channel.vibratoWave, channel.vibratoPosition) *
                      channel.vibratoDepth) >> 3);
}

void Tremolo(ChannelPlay& channel) {
    channel.tremoloPosition = static_cast<std::uint8_t>((channel.tremoloPosition +
                                                         channel.tremoloSpeed) & 63);
    channel.volume = std::clamp(channel.baseVolume +
                                    ((Waveform(channel.tremoloWave, channel.tremoloPosition) *
                                      channel.tremoloDepth) >> 6),
                                0, 64);
}

void KeepNibbles(std::uint8_t parameter, std::uint8_t& speed, std::uint8_t& depth) {
    if (parameter >> 4) speed = parameter >> 4;
    if (parameter & 0x0F) depth = parameter & 0x0F;
}

void Arpeggio(ChannelPlay& channel, int tick) {
    const int phase = tick % 3;
    const int semitones = phase == 1 ? channel.parameter >> 4
                          : phase == 2 ? channel.parameter & 0x0F
                                       : 0;
    if (Amiga()) {
        channel.pitch = static_cast<std::int32_t>(
            std::lround(channel.basePitch * std::exp2(-semitones / 12.0)));
    } else {
        channel.pitch = channel.basePitch - semitones * 256;
    }
}

// Restarts the channel's sample from `offset` frames (the last frame when beyond its end).
void RestartSample(Playback& playback, ChannelPlay& channel, std::uint32_t offset) {
    if (channel.sample == 255 || channel.sampleInstrument >= instrumentTable.size()) return;
    const InstrumentSlot& slot = instrumentTable[channel.sampleInstrument];
    const std::uint8_t* data = slot.sampleData[channel.sample];
    if (data == nullptr) return;
    const SampleHeader& header = SampleOf(slot.block, channel.sample);
    if (header.length == 0) return;
    FadeOutVoice(channel, RampFrames(playback));
    StartVoice(channel.voice, header, data, offset);
}

void ClearCommand(ChannelPlay& channel) { channel.command = channel.parameter = 0; }

void Extended(Playback& playback, ChannelPlay& channel, int tick) {
    const int x = channel.parameter >> 4;
    const int y = channel.parameter & 0x0F;
    switch (x) {
    case ExtFinePortaUp:
        if (tick == 0) SlidePitch(channel, -y * slideUnit);
        break;
    case ExtFinePortaDown:
        if (tick == 0) SlidePitch(channel, y * slideUnit);
        break;
    case 3:
        ClearCommand(channel);
        break;
    case ExtVibratoWave:
    case ExtTremoloWave: {
        std::uint8_t& wave = x == ExtVibratoWave ? channel.vibratoWave : channel.tremoloWave;
        wave = static_cast<std::uint8_t>(y & 7);
        ClearCommand(channel);
        break;
    }
    case ExtFinetune: {
        const int steps = y >= 8 ? y - 16 : y;
        channel.rate = static_cast<std::uint32_t>(std::lround(8363 * std::exp2(steps / 96.0)));
        if (channel.note < 120) {
            channel.pitch = channel.basePitch = NotePitch(channel.note, channel.rate, Amiga());
        }
        ClearCommand(channel);
        break;
    }
    case ExtPatternLoop:
        if (y == 0) {
            channel.loopRow = static_cast<std::uint8_t>(playback.row);
            break;
        }
        if (channel.loopCount == 0) {
            channel.loopCount = static_cast<std::uint8_t>(y);
            playback.loopRow = channel.loopRow;
        } else if (--channel.loopCount > 0) {
            playback.loopRow = channel.loopRow;
        } else {
            // A finished loop starts the next one after itself, so that a second loop end
            // further down does not replay this one for ever.
            channel.loopRow = static_cast<std::uint8_t>(playback.row + 1);
        }
        ClearCommand(channel);
        break;
    case ExtSetPan16:
        channel.pan = static_cast<std::uint8_t>(y * 4 + 2);
        break;
    case ExtRetrigger:
        if (y > 0 && tick % y == 0) RestartSample(playback, channel, 0);
        break;
    case ExtFineVolUp:
        if (tick == 0) SetVolume(channel, channel.volume + y);
        break;
    case ExtFineVolDown:
        if (tick == 0) SetVolume(channel, channel.volume - y);
        break;
    case ExtNoteCut:
        if (tick > y) SetVolume(channel, 0);
        break;
    case ExtNoteDelay:
        if (tick == y) {
            if (channel.delayedNote != 0) StartNote(playback, channel);
            channel.delayedNote = 0;
            ClearCommand(channel);
        }
        break;
    case ExtPatternDelay:
        // Several on one row: the last channel's counts, as in the classic trackers.
        playback.repeatsLeft = y;
        ClearCommand(channel);
        break;
    default:
        break;
    }
}

// Volume-envelope or panning-envelope view of an instrument: the points and the nibble of each
// control byte.
struct Envelope {
    const std::array<EnvelopePoint, 10>& points;
    int flags, last, sustain, loopStart, loopEnd;
};

Envelope VolumeEnvelope(const InstrumentRecord& record) {
    return {record.volumeEnvelope, record.envelopeFlags & 15, record.envelopeLastPoint & 15,
            record.envelopeSustain & 15, record.envelopeLoopStart & 15,
            record.envelopeLoopEnd & 15};
}
Envelope PanningEnvelope(const InstrumentRecord& record) {
    return {record.panningEnvelope, record.envelopeFlags >> 4, record.envelopeLastPoint >> 4,
            record.envelopeSustain >> 4, record.envelopeLoopStart >> 4,
            record.envelopeLoopEnd >> 4};
}

std::uint32_t PointPosition(const Envelope& envelope, int point) {
    return envelope.points[static_cast<std::size_t>(std::min(point, 9))].position;
}

// The envelope's value (0..64) at `position`, interpolated between its points.
std::int32_t EnvelopeValue(const Envelope& envelope, std::uint32_t position) {
    const int last = std::min(envelope.last, 9);
    for (int k = 0; k < last; ++k) {
        const EnvelopePoint& from = envelope.points[static_cast<std::size_t>(k)];
        const EnvelopePoint& to = envelope.points[static_cast<std::size_t>(k + 1)];
        if (position >= to.position) continue;
        const std::int32_t a = std::min<std::int32_t>(from.value, 64);
        const std::int32_t b = std::min<std::int32_t>(to.value, 64);
        const std::uint32_t start = from.position;
        if (to.position <= start || position <= start) return a;
        return a + (b - a) * static_cast<std::int32_t>(position - start) /
                       static_cast<std::int32_t>(to.position - start);
    }
    return std::min<std::int32_t>(envelope.points[static_cast<std::size_t>(last)].value, 64);
}

// One tick on: held at the sustain point while the key is down, round the loop, at the end
// after the last point.
void AdvanceEnvelope(const Envelope& envelope, std::uint32_t& position, bool keyOn) {
    if ((envelope.flags & 2) && keyOn && position >= PointPosition(envelope, envelope.sustain)) {
        position = PointPosition(envelope, envelope.sustain);
        return;
    }
    position += envelopeTick;
    if ((envelope.flags & 4) && envelope.loopStart <= envelope.loopEnd &&
        position >= PointPosition(envelope, envelope.loopEnd)) {
        position = PointPosition(envelope, envelope.loopStart);
    }
    position = std::min(position, PointPosition(envelope, envelope.last) + envelopeTick);
}

// The automatic vibrato's pitch offset this tick; advances it.
std::int32_t AutoVibrato(const InstrumentRecord& record, ChannelPlay& channel) {
    const std::int32_t depth = record.vibratoDepth;
    if (depth == 0 || record.vibratoRate == 0) return 0;
    channel.autoVibratoPosition += static_cast<std::uint32_t>(std::int32_t{record.vibratoRate});
    const int position = static_cast<int>((channel.autoVibratoPosition >> 6) & 63);
    int wave = 0;
    switch (record.vibratoType & 3) {
    case 1: wave = position < 32 ? 255 : -255; break;            // square
    case 2: wave = -255 + position * 8; break;                    // ramp up
    case 3: wave = 255 - position * 8; break;                     // ramp down
    default: wave = Waveform(0, position); break;
    }
    std::int32_t amount = depth;
    const std::uint32_t sweep = record.vibratoSweep;
    if (sweep > 0 && channel.autoVibratoTicks < sweep) {
        amount = amount * static_cast<std::int32_t>(channel.autoVibratoTicks) /
                 static_cast<std::int32_t>(sweep);
    }
    ++channel.autoVibratoTicks;
    return wave * amount / 255;
}

}  // namespace

void StartNote(Playback& playback, ChannelPlay& channel) {
    // A note that names no playable sample (no such instrument, a key map slot beyond its
    // samples, a sample without frames) stops what the channel played, as most trackers do.
    const std::optional<std::size_t> sample = SampleFor(channel, channel.note);
    const std::uint8_t* data =
        sample ? instrumentTable[channel.instrument].sampleData[*sample] : nullptr;
    const SampleHeader* found = data != nullptr ? &HeaderOf(channel, *sample) : nullptr;
    if (found == nullptr || found->length == 0) {
        FadeOutVoice(channel, RampFrames(playback));
        return;
    }
    const SampleHeader& header = *found;
    channel.sample = static_cast<std::uint8_t>(*sample);
    channel.sampleInstrument = channel.instrument;
    channel.rate = header.c5Rate;
    channel.pitch = channel.basePitch = NotePitch(channel.note, channel.rate, Amiga());
    if (header.flags & usePan) channel.pan = std::min<std::uint8_t>(header.pan, 64);
    if (!(channel.vibratoWave & 4)) channel.vibratoPosition = 0;
    if (!(channel.tremoloWave & 4)) channel.tremoloPosition = 0;
    channel.volumeEnvelope = channel.panEnvelope = 0;
    channel.autoVibratoPosition = channel.autoVibratoTicks = 0;
    channel.keyOn = true;
    channel.fade = fadeStart;
    FadeOutVoice(channel, RampFrames(playback));
    StartVoice(channel.voice, header, data, 0);
}

void SelectInstrument(ChannelPlay& channel, int slot) {
    channel.instrument = static_cast<std::uint8_t>(slot);
    channel.volumeEnvelope = channel.panEnvelope = 0;
    const int note = channel.note < 120 ? channel.note : 60;
    if (const std::optional<std::size_t> sample = SampleFor(channel, note)) {
        SetVolume(channel, HeaderOf(channel, *sample).volume);
    }
}

void ReleaseNote(ChannelPlay& channel) {
    channel.keyOn = false;
    const InstrumentRecord* record = InstrumentOf(channel);
    if (record == nullptr || !(record->envelopeFlags & 1)) SetVolume(channel, 0);
}

void ApplyRowEvent(Playback& playback, ChannelPlay& channel, const RowEvent& event) {
    if (event.hasEffect) {
        channel.command = event.command & 15;
        channel.parameter = event.parameter;
    }
    if (event.instrument > 0) {
        channel.instrument = static_cast<std::uint8_t>(event.instrument - 1);
        channel.volumeEnvelope = channel.panEnvelope = 0;
    }
    if (event.note >= 1 && event.note <= 120) {
        channel.note = static_cast<std::uint8_t>(event.note - 1);
        const std::optional<std::size_t> sample = SampleFor(channel, channel.note);
        const std::uint32_t rate = sample ? HeaderOf(channel, *sample).c5Rate : channel.rate;
        const std::int32_t pitch = NotePitch(channel.note, rate, Amiga());
        if (channel.command == EffectTonePorta || channel.command == EffectTonePortaVolSlide) {
            channel.targetPitch = pitch;
        } else if (channel.command == EffectExtended && (channel.parameter >> 4) == ExtNoteDelay) {
            channel.pitch = channel.basePitch = pitch;
            channel.delayedNote = event.note;
        } else {
            channel.pitch = channel.basePitch = pitch;
            StartNote(playback, channel);
        }
    } else if (event.note == keyOff) {
        ReleaseNote(channel);
    }
    if (event.instrument > 0) {
        SelectInstrument(channel, event.instrument - 1);
        // An instrument without a note attacks the sounding note again: its envelopes restart
        // (above), so the key is held again and a fade-out begun by a key off is undone.
        if (event.note == noNote && channel.voice.data != nullptr) {
            channel.keyOn = true;
            channel.fade = fadeStart;
        }
    }
    if (event.volume) SetVolume(channel, *event.volume);
}

void RunCommand(Playback& playback, ChannelPlay& channel, int tick) {
    const std::uint8_t parameter = channel.parameter;
    const bool later = tick > 0;
    switch (channel.command) {
    case EffectArpeggio:
        if (later) Arpeggio(channel, tick);
        break;
    case EffectPortaUp:
        if (later) SlidePitch(channel, -parameter * slideUnit);
        break;
    case EffectPortaDown:
        if (later) SlidePitch(channel, parameter * slideUnit);
        break;
    case EffectTonePorta:
        if (parameter != 0) channel.portaSpeed = parameter;
        if (later && TonePortamento(channel)) ClearCommand(channel);
        break;
    case EffectVibrato:
        KeepNibbles(parameter, channel.vibratoSpeed, channel.vibratoDepth);
        if (later) Vibrato(channel);
        break;
    case EffectTonePortaVolSlide:
        if (later) {
            SlideVolume(channel, parameter);
            TonePortamento(channel);
        }
        break;
    case EffectVibratoVolSlide:
        if (later) {
            SlideVolume(channel, parameter);
            Vibrato(channel);
        }
        break;
    case EffectTremolo:
        KeepNibbles(parameter, channel.tremoloSpeed, channel.tremoloDepth);
        if (later) Tremolo(channel);
        break;
    case EffectSetPan:
        channel.pan = parameter <= 0x80   ? static_cast<std::uint8_t>((parameter + 1) / 2)
                      : parameter <= 0x83 ? static_cast<std::uint8_t>((parameter - 3) / 2)
                      : parameter <= 0xC4 ? static_cast<std::uint8_t>(parameter - 4)
                                          : std::uint8_t{0xA0};
        break;
    case EffectSampleOffset:
        if (parameter != 0) channel.offset = parameter;
        RestartSample(playback, channel, std::uint32_t{channel.offset} * 256);
        ClearCommand(channel);
        break;
    case EffectVolSlide:
        if (later) SlideVolume(channel, parameter);
        break;
    case EffectPositionJump:
        if (parameter <= song.lastOrder) playback.jumpOrder = parameter;
        ClearCommand(channel);
        break;
    case EffectSetVolume:
        SetVolume(channel, parameter);
        ClearCommand(channel);
        break;
    case EffectPatternBreak:
        playback.breakRow = (parameter >> 4) * 10 + (parameter & 0x0F);
        ClearCommand(channel);
        break;
    case EffectExtended:
        Extended(playback, channel, tick);
        break;
    case EffectSpeedTempo:
        if (parameter == 0) {
            playback.ended = true;
        } else if (parameter <= 32) {
            playback.speed = parameter;
        } else {
            playback.tempo = parameter;
        }
        ClearCommand(channel);
        break;
    default:
        break;
    }
}

void UpdateVoice(Playback& playback, ChannelPlay& channel) {
    const std::int32_t ramp = RampFrames(playback);
    std::int32_t envelopeVolume = 64;
    std::int32_t pan = channel.pan & 0x7F;
    std::int32_t pitch = channel.pitch + channel.bend;
    if (const InstrumentRecord* record = InstrumentOf(channel)) {
        const Envelope volume = VolumeEnvelope(*record);
        if (volume.flags & 1) {
            envelopeVolume = EnvelopeValue(volume, channel.volumeEnvelope);
            AdvanceEnvelope(volume, channel.volumeEnvelope, channel.keyOn);
        }
        const Envelope panning = PanningEnvelope(*record);
        if (panning.flags & 1) {
            const std::int32_t value = EnvelopeValue(panning, channel.panEnvelope) - 32;
            AdvanceEnvelope(panning, channel.panEnvelope, channel.keyOn);
            const std::int32_t centre = std::min<std::int32_t>(pan, 64);
            pan = centre + value * (32 - std::abs(centre - 32)) / 32;
        }
        if (!channel.keyOn) channel.fade = std::max(0, channel.fade - record->fadeOut);
        pitch += AutoVibrato(*record, channel);
    }
    if (channel.voice.data == nullptr) return;
    const bool amiga = Amiga();
    if (amiga && pitch <= 0) {
        // A period of zero or below (vibrato or arpeggio past the top of the range) has no
        // frequency: the note stops, as in Scream Tracker, rather than shrieking at the
        // highest step the mixer takes.
        FadeOutVoice(channel, ramp);
        return;
    }
    if (!playback.mix) return;
    pitch = std::clamp(pitch, amiga ? 1 : -32768, 65535);
    const double volume = channel.volume / 64.0 * envelopeVolume / 64.0 * channel.fade /
                          double{fadeStart} * std::min<int>(song.globalVolume, 128) / 128.0;
    const auto gain = static_cast<std::int32_t>(std::lround(volume * playback.masterGain));
    pan = std::clamp(pan, 0, 64);
    const std::int32_t left = gain * (64 - pan) / 64;
    std::int32_t right = gain * pan / 64;
    // The alternative stereo treatment: the right side in opposite phase (surround).
    if (channel.pan & 0x80) right = -right;
    SetVoiceOutput(channel.voice, left, right,
                   PitchFrequency(pitch, channel.rate, amiga), playback.settings.rate, ramp);
    if (channel.fade == 0 && !channel.keyOn) FadeOutVoice(channel, ramp);
}

}  // namespace tunepak
