// The player on tiny songs built straight into the model: timing, effect commands tick by tick,
// the order list, loops, envelopes and the mixer's sample positions.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "model/patterns.h"
#include "model/player.h"
#include "player/engine.h"
#include "player/playback.h"
#include "test_support.h"

namespace tunepak {
namespace {

// At 8,000 Hz and tempo 125 a row-packed tick is exactly 160 frames.
constexpr std::uint32_t testRate = 8000;
constexpr std::size_t tickFrames = 160;
constexpr std::uint8_t amigaSong = amigaSlides | rowPacked;

struct Cell {
    int channel = 0;
    int note = 0;  // internal note, -1 none
    int instrument = 0;
    int command = 0;
    int parameter = 0;
    std::optional<std::uint8_t> volume;
};
using Row = std::vector<Cell>;

// Builds songs into the model and plays them tick by tick.
class PlaybackTest : public test::ModelTest {
protected:
    // A song that plays pattern 0 once, unless Orders lists others.
    void Song(std::uint8_t flags, int speed = 6, int tempo = 125, int channels = 4) {
        song.songFlags = flags;
        song.initialSpeed = static_cast<std::uint8_t>(speed);
        song.initialTempo = static_cast<std::uint8_t>(tempo);
        song.channelCount = static_cast<std::uint8_t>(channels);
        song.channelPan.fill(32);
        song.globalVolume = 128;
        song.minPeriod = (flags & amigaSlides) ? amigaMinPeriod : linearMinPeriod;
        song.maxPeriod = (flags & amigaSlides) ? amigaMaxPeriod : linearMaxPeriod;
        Orders({0});
    }
    // A song of one channel whose rows last a tick each, playing `orders`: for the tests of how
    // the song goes from row to row and order to order.
    void RowFlowSong(std::initializer_list<int> orders) {
        Song(amigaSong, 1, 125, 1);
        Orders(orders);
    }
    // A row flow song of three orders of `rows` rows: the first jumps to the third on its row 1,
    // the second is empty and the third holds `command` on its row 1.
    void SkippingSong(int rows, int command, int parameter) {
        RowFlowSong({0, 1, 2});
        Pattern(0, rows, {{}, {{0, 0, 0, EffectPositionJump, 2}}});
        Pattern(1, rows, {});
        Pattern(2, rows, {{}, {{0, 0, 0, command, parameter}}});
    }
    void Orders(std::initializer_list<int> orders) {
        std::size_t i = 0;
        for (int order : orders) orderList[i++] = static_cast<std::uint8_t>(order);
        song.lastOrder = static_cast<std::uint8_t>(i - 1);
    }
    // Pattern `number` of `count` rows; `rows` gives the first ones, the rest are empty.
    void Pattern(int number, int count, const std::vector<Row>& rows) {
        const std::uint8_t channels = song.channelCount;
        PatternEmitter emitter;
        ASSERT_TRUE(emitter.Begin(static_cast<std::size_t>(number), count));
        for (int r = 0; r < count; ++r) {
            if (r < static_cast<int>(rows.size())) {
                for (const Cell& cell : rows[static_cast<std::size_t>(r)]) {
                    Event event;
                    event.channel = cell.channel;
                    event.command = static_cast<std::uint8_t>(cell.command);
                    event.parameter = static_cast<std::uint8_t>(cell.parameter);
                    event.instrument = static_cast<std::uint8_t>(cell.instrument);
                    event.note = cell.note == keyOff ? keyOff
                                 : cell.note > 0     ? NoteByte(cell.note)
                                                     : noNote;
                    event.volume = cell.volume;
                    emitter.Add(event);
                }
            }
            emitter.EndRow();
        }
        emitter.Finish();
        song.channelCount = channels;
    }
    // Instrument slot `slot` with one sample per entry of `lengths`; sample k holds the frames
    // k x 100 + i (8-bit, wrapping), with the run-out tail the loaders give.
    InstrumentRecord& Instrument(int slot, std::vector<std::uint32_t> lengths,
                                 std::uint8_t flags = 0, std::uint32_t loopStart = 0,
                                 std::uint32_t loopEnd = 0) {
        std::uint8_t* block = NewInstrument(static_cast<std::size_t>(slot),
                                            static_cast<std::uint8_t>(lengths.size()));
        for (std::size_t k = 0; k < lengths.size(); ++k) {
            SampleHeader& header = SampleOf(block, k);
            std::memcpy(header.id.data(), "SAMP", 4);
            header.size = 56;
            header.length = lengths[k];
            header.flags = flags;
            header.loopStart = loopStart;
            header.loopEnd = loopEnd;
            header.c5Rate = 8363;
            header.volume = 64;
            auto* data = static_cast<std::uint8_t*>(services.allocate(lengths[k] + 64));
            for (std::uint32_t i = 0; i < lengths[k] + 64; ++i) {
                data[i] = static_cast<std::uint8_t>(i < lengths[k] ? k * 100 + i : 0);
            }
            instrumentTable[static_cast<std::size_t>(slot)].sampleData[k] = data;
        }
        return RecordOf(block);
    }
    void Start(bool loop = false, std::uint32_t rate = testRate) {
        ASSERT_EQ(StartPlayback(*playback, PlaybackSettings{rate, loop}), ResultOk);
    }
    // Plays `frames` frames; returns how many were played.
    std::size_t Play(std::size_t frames) {
        std::vector<std::int16_t> out(2 * frames);
        return RenderFrames(*playback, out);
    }
    // Plays tick after tick and collects what `probe` says after each.
    template <class Probe>
    std::vector<std::int32_t> Ticks(int count, Probe probe) {
        std::vector<std::int32_t> values;
        for (int t = 0; t < count; ++t) {
            if (Play(tickFrames) != tickFrames) break;
            values.push_back(probe(playback->channels[0]));
        }
        return values;
    }
    std::int32_t AmigaPitch(int note) const { return NotePitch(note, 8363, true); }

    std::unique_ptr<Playback> playback = std::make_unique<Playback>();
};

TEST_F(PlaybackTest, RowLastsSpeedTicksOfTwoAndAHalfOverTempoSeconds) {
    struct Case {
        int speed, tempo;
        std::uint32_t rate;
        std::uint64_t frames;  // for 64 rows
    };
    // 44100 x 2.5 / 125 = 882 frames a tick; 44100 x 2.5 / 33 = 3340.9..., carried over.
    for (const Case c : {Case{6, 125, 44100, 64 * 6 * 882}, Case{3, 33, 44100, 641454},
                         Case{1, 255, 48000, 30117}, Case{31, 150, 22050, 729120}}) {
        test::ModelTest::SetUp();
        Song(amigaSong, c.speed, c.tempo);
        Pattern(0, 64, {});
        EXPECT_EQ(SongFrames(c.rate, ~0ull), c.frames) << c.speed << "/" << c.tempo;
        ASSERT_EQ(StartPlayback(*playback, PlaybackSettings{c.rate, false}), ResultOk);
        std::uint64_t rendered = 0;
        for (std::size_t got; (got = Play(10000)) > 0;) rendered += got;
        EXPECT_EQ(rendered, c.frames);
    }
}

TEST_F(PlaybackTest, SpeedAndTempoCommandsTakeEffectOnTheirRow) {
    Song(amigaSong, 6, 125, 1);
    // Speed 2 from row 0; tempo 250 (80 frames a tick) from row 1.
    Pattern(0, 4, {{{0, 0, 0, EffectSpeedTempo, 2}}, {{0, 0, 0, EffectSpeedTempo, 250}}});
    EXPECT_EQ(SongFrames(testRate, ~0ull), 2 * tickFrames + 3 * 2 * 80);
}

TEST_F(PlaybackTest, EventStreamTicksLastSixtyOverSpeedTimesTempo) {
    Song(amigaSlides, 24, 125, 2);  // 8000 x 60 / (24 x 125) = 160 frames a tick
    Orders({0, 0});
    Instrument(5, {1000});
    // Instrument 5 and note C-5 at once, then a group 96 ticks later, then the end.
    // Then, on tick 1, a bend of -256 (a semitone up in linear pitch).
    const std::vector<std::uint8_t> stream = {0x41, 0x00, 0x05, 0x01, 0x48, 0x40, 0x05, 0x00,
                                              0x00, 0xC1, 0x01, 0x00, 0x04, 0x00, 0xFF,
                                              0x81, 0x5F, 0x00, 0x80, 0x00, 0x80, 0x00, 0x00};
    auto* block = static_cast<std::uint8_t*>(services.allocate(stream.size()));
    std::memcpy(block, stream.data(), stream.size());
    patternTable[0] = {block, stream.size()};
    EXPECT_EQ(SongFrames(testRate, ~0ull), 2 * 96 * tickFrames);
    Start();
    Play(tickFrames);
    EXPECT_EQ(playback->channels[1].note, 60);
    EXPECT_EQ(playback->channels[1].volume, 64);
    EXPECT_NE(playback->channels[1].voice.data, nullptr);
    EXPECT_EQ(playback->channels[1].bend, 0);
    Play(tickFrames);
    EXPECT_EQ(playback->channels[1].bend, -256);
    EXPECT_EQ(playback->channels[1].pitch, playback->channels[1].basePitch);
}

TEST_F(PlaybackTest, ArpeggioCyclesBaseAndTwoOffsets) {
    Song(amigaSong, 6, 125, 1);
    Instrument(0, {5000});
    Pattern(0, 2, {{{0, 60, 1, EffectArpeggio, 0x47}}});
    Start();
    const std::int32_t base = AmigaPitch(60);
    const auto third = static_cast<std::int32_t>(std::lround(base * std::exp2(-4 / 12.0)));
    const auto fifth = static_cast<std::int32_t>(std::lround(base * std::exp2(-7 / 12.0)));
    EXPECT_EQ(base, 6848);
    EXPECT_EQ(Ticks(7, [](const ChannelPlay& c) { return c.pitch; }),
              (std::vector<std::int32_t>{base, third, fifth, base, third, fifth, base}));

    test::ModelTest::SetUp();  // linear pitch: semitones are 256 units
    Song(rowPacked, 6, 125, 1);
    Instrument(0, {5000});
    Pattern(0, 1, {{{0, 60, 1, EffectArpeggio, 0x47}}});
    Start();
    EXPECT_EQ(Ticks(3, [](const ChannelPlay& c) { return c.pitch; }),
              (std::vector<std::int32_t>{15360, 15360 - 4 * 256, 15360 - 7 * 256}));
}

TEST_F(PlaybackTest, VibratoFollowsTheSineAndKeepsItsMemory) {
    Song(amigaSong, 4, 125, 1);
    Instrument(0, {5000});
    // Speed 4, depth 8: the sine at 4, 8, 12 (x 8 / 8); the next row's 0 parameter keeps both,
    // and the position runs on from 12.
    Pattern(0, 2, {{{0, 60, 1, EffectVibrato, 0x48}}, {{0, 0, 0, EffectVibrato, 0}}});
    Start();
    const std::int32_t base = AmigaPitch(60);
    EXPECT_EQ(Ticks(8, [base](const ChannelPlay& c) { return c.pitch - base; }),
              (std::vector<std::int32_t>{0, 97, 180, 235, 0, 255, 235, 180}));
    EXPECT_EQ(Waveform(0, 4), 97);
    EXPECT_EQ(Waveform(1, 33), -8);
    EXPECT_EQ(Waveform(2, 40), -255);
}

TEST_F(PlaybackTest, VolumeSlidesStopAtTheirLimits) {
    Song(amigaSong, 6, 125, 2);
    Instrument(0, {5000});
    Pattern(0, 1, {{{0, 60, 1, EffectVolSlide, 0x30, 58}, {1, 60, 1, EffectVolSlide, 0x05, 8}}});
    Start();
    std::vector<std::int32_t> up, down;
    for (int t = 0; t < 4; ++t) {
        Play(tickFrames);
        up.push_back(playback->channels[0].volume);
        down.push_back(playback->channels[1].volume);
    }
    EXPECT_EQ(up, (std::vector<std::int32_t>{58, 61, 64, 64}));
    EXPECT_EQ(down, (std::vector<std::int32_t>{8, 3, 0, 0}));
}

TEST_F(PlaybackTest, TonePortamentoReachesItsTargetAndClears) {
    Song(amigaSong, 6, 125, 1);
    Instrument(0, {50000});
    Pattern(0, 2, {{{0, 60, 1}}, {{0, 62, 0, EffectTonePorta, 0x20}}});
    Start();
    Play(6 * tickFrames);
    const std::int32_t from = AmigaPitch(60);
    const std::int32_t to = AmigaPitch(62);
    EXPECT_EQ(Ticks(4, [](const ChannelPlay& c) { return c.pitch; }),
              (std::vector<std::int32_t>{from, from - 512, to, to}));
    EXPECT_EQ(playback->channels[0].command, 0);
    EXPECT_EQ(playback->channels[0].basePitch, to);
}

TEST_F(PlaybackTest, SampleOffsetStartsThereOrAtTheLastFrame) {
    Song(amigaSong, 6, 125, 2);
    Instrument(0, {300});
    Pattern(0, 1, {{{0, 60, 1, EffectSampleOffset, 1}, {1, 60, 1, EffectSampleOffset, 2}}});
    // At 192,000 Hz an 8,363 Hz sample moves 0.04 frames a frame.
    Start(false, 192000);
    Play(1);
    EXPECT_EQ(playback->channels[0].voice.position >> 32, 256u);
    EXPECT_EQ(playback->channels[1].voice.position >> 32, 299u);
    EXPECT_EQ(playback->channels[0].command, 0);
}

TEST_F(PlaybackTest, NoteCutAfterItsTickAndNoteDelayUntilItsTick) {
    Song(amigaSong, 6, 125, 2);
    Instrument(0, {50000});
    Pattern(0, 1, {{{0, 60, 1, EffectExtended, 0xC2}, {1, 60, 1, EffectExtended, 0xD3}}});
    Start();
    std::vector<std::int32_t> cut, started;
    for (int t = 0; t < 6; ++t) {
        Play(tickFrames);
        cut.push_back(playback->channels[0].volume);
        started.push_back(playback->channels[1].voice.data != nullptr);
    }
    EXPECT_EQ(cut, (std::vector<std::int32_t>{64, 64, 64, 0, 0, 0}));
    EXPECT_EQ(started, (std::vector<std::int32_t>{0, 0, 0, 1, 1, 1}));
}

TEST_F(PlaybackTest, RetriggerRestartsTheSampleEveryYTicks) {
    Song(amigaSong, 6, 125, 1);
    Instrument(0, {50000});
    Pattern(0, 1, {{{0, 60, 1, EffectExtended, 0x93}}});
    Start();
    // Frames played since the last start, as the voice's position tells them.
    const std::vector<std::int32_t> ticks = Ticks(6, [](const ChannelPlay& c) {
        return static_cast<std::int32_t>(std::lround(
            static_cast<double>(c.voice.position) / static_cast<double>(c.voice.step)));
    });
    const auto t = static_cast<std::int32_t>(tickFrames);
    EXPECT_EQ(ticks, (std::vector<std::int32_t>{t, 2 * t, 3 * t, t, 2 * t, 3 * t}));
}

// The rows played, one a tick at speed 1.
std::vector<int> RowsPlayed(Playback& playback, int limit) {
    std::vector<int> rows;
    std::vector<std::int16_t> out(2 * tickFrames);
    while (static_cast<int>(rows.size()) < limit && RenderFrames(playback, out) == tickFrames) {
        rows.push_back(playback.order * 100 + playback.row);
    }
    return rows;
}

TEST_F(PlaybackTest, PatternLoopsNestWithACounterPerChannel) {
    Song(amigaSong, 1, 125, 2);
    // Channel 0 loops rows 2..3 once more; channel 1 loops rows 0..5 once more.
    Pattern(0, 7, {{{1, 0, 0, EffectExtended, 0x60}},
                   {},
                   {{0, 0, 0, EffectExtended, 0x60}},
                   {{0, 0, 0, EffectExtended, 0x61}},
                   {},
                   {{1, 0, 0, EffectExtended, 0x61}}});
    Start();
    EXPECT_EQ(RowsPlayed(*playback, 100),
              (std::vector<int>{0, 1, 2, 3, 2, 3, 4, 5, 0, 1, 2, 3, 2, 3, 4, 5, 6}));
}

TEST_F(PlaybackTest, PatternDelayRepeatsTheRowWithoutItsEvents) {
    Song(amigaSong, 3, 125, 3);
    Instrument(0, {50000});
    Pattern(0, 2, {{{0, 60, 1, EffectVolSlide, 0x10, 10}, {1, 0, 0, EffectExtended, 0xE2},
                    {2, 60, 1, EffectExtended, 0xB2, 40}},
                   {{0, 0, 0, EffectExtended, 0xE5}, {1, 0, 0, EffectExtended, 0xE1}}});
    // Row 1 has two delays: the last channel's, one more play, counts.
    EXPECT_EQ(SongFrames(testRate, ~0ull), (3 * 3 + 3 * 2) * tickFrames);
    Start();
    Play(9 * tickFrames);
    // Each of the three plays counts its ticks from 0: the slide acts on ticks 1 and 2 of
    // each, the fine slide on every tick 0.
    EXPECT_EQ(playback->channels[0].volume, 10 + 6);
    EXPECT_EQ(playback->channels[2].volume, 40 - 6);
    EXPECT_EQ(playback->row, 0);
    Play(tickFrames);
    EXPECT_EQ(playback->row, 1);
}

TEST_F(PlaybackTest, PositionJumpAndPatternBreak) {
    SkippingSong(4, EffectPatternBreak, 0x02);
    Start();
    // Order 0 rows 0-1, order 2 rows 0-1; the break leads to order 3, past the end.
    EXPECT_EQ(RowsPlayed(*playback, 100), (std::vector<int>{0, 1, 200, 201}));

    test::ModelTest::SetUp();
    RowFlowSong({0, 254, 1});
    Pattern(0, 4, {{{0, 0, 0, EffectPatternBreak, 0x12}}});  // row 12 does not exist: row 0
    Pattern(1, 8, {{{0, 0, 0, EffectPatternBreak, 0x13}}});
    Start();
    EXPECT_EQ(RowsPlayed(*playback, 100), (std::vector<int>{0, 200}));
}

TEST_F(PlaybackTest, SongEndsAtABackwardJumpUnlessLooping) {
    RowFlowSong({0, 1});
    Pattern(0, 4, {});
    Pattern(1, 4, {{}, {{0, 0, 0, EffectPositionJump, 1}}});
    EXPECT_EQ(SongFrames(testRate, ~0ull), 6 * tickFrames);
    Start(true);
    EXPECT_EQ(RowsPlayed(*playback, 9), (std::vector<int>{0, 1, 2, 3, 100, 101, 100, 101, 100}));

    test::ModelTest::SetUp();  // the end of the order list, a 255 order and speed 0
    RowFlowSong({0, 255, 0});
    Pattern(0, 4, {{}, {}, {{0, 0, 0, EffectSpeedTempo, 0}}});
    EXPECT_EQ(SongFrames(testRate, ~0ull), 2 * tickFrames);
    Start(true);
    EXPECT_EQ(RowsPlayed(*playback, 9), (std::vector<int>{0, 1}));
}

TEST_F(PlaybackTest, ABreakFromTheLastEntryEndsTheSongOrGoesToItsRowOfTheFirst) {
    RowFlowSong({0, 1});
    Pattern(0, 4, {});
    Pattern(1, 4, {{{0, 0, 0, EffectPatternBreak, 0x02}}});
    EXPECT_EQ(SongFrames(testRate, ~0ull), 5 * tickFrames);
    Start(true);
    EXPECT_EQ(RowsPlayed(*playback, 9), (std::vector<int>{0, 1, 2, 3, 100, 2, 3, 100, 2}));
}

TEST_F(PlaybackTest, AJumpBackToRowsNotYetPlayedIsFollowed) {
    SkippingSong(2, EffectPositionJump, 1);
    Start();
    // Order 1 was skipped: the jump back plays it, then order 2 again ends the song.
    EXPECT_EQ(RowsPlayed(*playback, 100), (std::vector<int>{0, 1, 200, 201, 100, 101}));
}

TEST_F(PlaybackTest, AFinishedLoopStartsTheNextAfterItselfAndEndlessLoopsEnd) {
    RowFlowSong({0});
    // Without the move, the second loop end would play the first loop again for ever.
    Pattern(0, 4, {{{0, 0, 0, EffectExtended, 0x60}}, {{0, 0, 0, EffectExtended, 0x61}},
                   {{0, 0, 0, EffectExtended, 0x61}}});
    Start();
    EXPECT_EQ(RowsPlayed(*playback, 100), (std::vector<int>{0, 1, 0, 1, 2, 2, 3}));

    test::ModelTest::SetUp();  // two channels' loops that keep restarting each other
    Song(amigaSong, 1, 125, 3);
    Pattern(0, 3, {{{0, 0, 0, EffectExtended, 0x60}, {1, 0, 0, EffectExtended, 0x60},
                    {2, 0, 0, EffectExtended, 0x60}},
                   {{0, 0, 0, EffectExtended, 0x61}, {1, 0, 0, EffectExtended, 0x61}},
                   {{0, 0, 0, EffectExtended, 0x61}, {2, 0, 0, EffectExtended, 0x61}}});
    // The song ends where a row comes back with the same counters on every channel: row 0
    // with channel 0's and channel 2's counters at 1, as after the fifth row.
    Start();
    EXPECT_EQ(RowsPlayed(*playback, 100), (std::vector<int>{0, 1, 0, 1, 2, 0, 1, 0, 1}));
    EXPECT_EQ(SongFrames(testRate, ~0ull), 9 * tickFrames);
    Start(true);  // looping, it plays on
    EXPECT_EQ(Play(20000 * tickFrames), 20000 * tickFrames);
}

TEST_F(PlaybackTest, PansGlobalVolumeAndSurround) {
    Song(amigaSong, 1, 125, 3);
    song.globalVolume = 64;
    song.channelPan[0] = 0;
    song.channelPan[1] = 64;
    song.channelPan[2] = 0x80 | 48;
    Instrument(0, {50000}, loop, 0, 50000);
    Pattern(0, 2, {{{0, 60, 1}, {1, 60, 1}, {2, 60, 1}}});
    Start();
    Play(1);
    const auto gains = [&](int c) {
        const Voice& voice = playback->channels[static_cast<std::size_t>(c)].voice;
        return std::pair(voice.targetLeft, voice.targetRight);
    };
    // Three channels: 4096 / sqrt(3) = 2365; global volume 64 halves every gain.
    EXPECT_EQ(gains(0), std::pair(1183, 0));
    EXPECT_EQ(gains(1), std::pair(0, 1183));
    EXPECT_EQ(gains(2), std::pair(295, -887));  // surround: the right side inverted
}

TEST_F(PlaybackTest, FourChannelsAtFullVolumeReachFullScaleWithoutClipping) {
    Song(amigaSong, 6, 125, 4);
    song.channelPan = {0, 64, 64, 0};
    Instrument(0, {1000}, loop, 0, 1000);
    std::memset(instrumentTable[0].sampleData[0], 0x7F, 1000 + 64);  // full scale throughout
    Pattern(0, 1, {{{0, 60, 1}, {1, 60, 1}, {2, 60, 1}, {3, 60, 1}}});
    Start();
    std::vector<std::int16_t> out(2 * 200);
    RenderFrames(*playback, out);
    // Two channels a side, each at half gain: 2 x 127 x 256 / 2 per side, short of the limit.
    for (std::size_t i = 100; i < 200; ++i) {
        EXPECT_EQ(out[2 * i], 32512) << i;
        EXPECT_EQ(out[2 * i + 1], 32512) << i;
    }
}

TEST_F(PlaybackTest, PingPongLoopTurnsAtBothEnds) {
    Song(amigaSong, 6, 125, 1);
    Instrument(0, {100}, loop | pingPong, 50, 100);
    Pattern(0, 1, {{{0, 60, 1}}});
    Start(false, 8363);  // one sample frame per output frame
    std::vector<int> frames;
    for (int i = 0; i < 160; ++i) {
        Play(1);
        frames.push_back(static_cast<int>(playback->channels[0].voice.position >> 32));
    }
    EXPECT_EQ(frames[97], 98);
    EXPECT_EQ(frames[98], 99);
    EXPECT_EQ(frames[99], 99);  // turned at the loop end
    EXPECT_EQ(frames[100], 98);
    EXPECT_EQ(frames[148], 50);
    EXPECT_EQ(frames[149], 50);  // turned at the loop start
    EXPECT_EQ(frames[150], 51);
    EXPECT_FALSE(playback->channels[0].voice.backwards);
}

TEST_F(PlaybackTest, VoiceOutputMatchesTheSampleAtItsOwnRate) {
    Song(amigaSong, 6, 125, 1);
    Instrument(0, {1000});
    Pattern(0, 1, {{{0, 60, 1}}});
    Start(false, 8363);
    std::vector<std::int16_t> out(2 * 400);
    RenderFrames(*playback, out);
    // After the ramp, frame i is the sample's frame i (i mod 256, 8-bit) at half gain a side.
    for (int i = 100; i < 110; ++i) {
        const int expected = static_cast<std::int8_t>(i) * 256 / 2;
        EXPECT_EQ(out[2 * static_cast<std::size_t>(i)], expected) << i;
        EXPECT_EQ(out[2 * static_cast<std::size_t>(i) + 1], expected) << i;
    }
}

TEST_F(PlaybackTest, VolumeEnvelopeHoldsAtSustainUntilKeyOffThenFades) {
    Song(rowPacked, 1, 125, 1);
    InstrumentRecord& record = Instrument(0, {50000}, loop, 0, 50000);
    record.envelopeFlags = 0x03;  // on, sustain
    record.envelopeLastPoint = 2;
    record.envelopeSustain = 1;
    const std::array<std::pair<int, std::uint8_t>, 3> points = {{{0, 64}, {2, 32}, {4, 16}}};
    for (std::size_t k = 0; k < points.size(); ++k) {
        record.volumeEnvelope[k].position = static_cast<std::uint16_t>(points[k].first * 16);
        record.volumeEnvelope[k].value = points[k].second;
    }
    record.fadeOut = 256;
    Pattern(0, 8, {{{0, 60, 1}}, {}, {}, {}, {{0, keyOff}}});
    Start();
    const std::vector<std::int32_t> positions =
        Ticks(8, [](const ChannelPlay& c) { return static_cast<std::int32_t>(c.volumeEnvelope); });
    EXPECT_EQ(positions, (std::vector<std::int32_t>{16, 32, 32, 32, 48, 64, 80, 80}));
    Start();
    const std::vector<std::int32_t> fades = Ticks(8, [](const ChannelPlay& c) { return c.fade; });
    // From 1,024, one fade-out step a tick once the key is off.
    EXPECT_EQ(fades, (std::vector<std::int32_t>{1024, 1024, 1024, 1024, 768, 512, 256, 0}));
    EXPECT_EQ(playback->channels[0].voice.data, nullptr);  // faded out
}

TEST_F(PlaybackTest, VibratoBelowPeriodZeroStopsTheNote) {
    Song(amigaSong, 6, 125, 1);
    song.minPeriod = 65535;  // no slide limits, as S3M files without Amiga limits
    song.maxPeriod = 65280;
    Instrument(0, {50000}, loop, 0, 50000);
    Pattern(0, 4, {{{0, 107, 1, EffectVibrato, 0xCF}}});
    Start();
    const std::vector<std::int32_t> playing = Ticks(6, [](const ChannelPlay& c) {
        return static_cast<std::int32_t>(c.voice.data != nullptr);
    });
    // Period 453 swings by up to 479 on the sine: below 0 on the fifth tick (position 48).
    EXPECT_EQ(playing, (std::vector<std::int32_t>{1, 1, 1, 1, 0, 0}));
}

TEST_F(PlaybackTest, AnInstrumentWithoutANoteTakesBackAKeyOff) {
    Song(rowPacked, 1, 125, 1);
    InstrumentRecord& record = Instrument(0, {50000}, loop, 0, 50000);
    record.envelopeFlags = 0x01;
    record.volumeEnvelope[0].value = 64;
    record.fadeOut = 64;
    // Key off, the instrument alone, a key off together with the instrument.
    Pattern(0, 6, {{{0, 60, 1}}, {{0, keyOff}}, {{0, 0, 1}}, {}, {{0, keyOff, 1}}, {}});
    Start();
    const std::vector<std::int32_t> fades = Ticks(6, [](const ChannelPlay& c) { return c.fade; });
    EXPECT_EQ(fades, (std::vector<std::int32_t>{1024, 960, 1024, 1024, 960, 896}));
}

TEST_F(PlaybackTest, RetriggerAfterAnInstrumentAloneRestartsTheSamplePlaying) {
    RowFlowSong({0});
    Instrument(0, {1000, 1000}).sampleMap[60] = 1;
    Instrument(1, {1000});
    Pattern(0, 3, {{{0, 60, 1}}, {{0, 0, 2, EffectExtended, 0x91}}});
    Start();
    Play(2 * tickFrames);
    const Voice& voice = playback->channels[0].voice;
    EXPECT_EQ(voice.data, instrumentTable[0].sampleData[1]);
    // Restarted on the second tick: one tick of playing (about 167 frames) from the start.
    EXPECT_LT(voice.position >> 32, 200u);
}

TEST_F(PlaybackTest, KeyOffWithoutEnvelopeSilencesTheChannelWhileItFades) {
    RowFlowSong({0});
    Instrument(0, {50000}).fadeOut = 64;
    Pattern(0, 4, {{{0, 60, 1}}, {{0, keyOff}}, {{0, 0, 0, 0, 0, 64}}});
    Start();
    Play(tickFrames);
    const ChannelPlay& channel = playback->channels[0];
    EXPECT_GT(channel.voice.targetLeft, 0);
    Play(tickFrames);
    EXPECT_EQ(channel.volume, 0);
    EXPECT_EQ(channel.voice.targetLeft, 0);  // ramping to silence, no click
    EXPECT_NE(channel.voice.data, nullptr);
    // A volume afterwards brings the note back, at what the fade-out has left of it.
    Play(tickFrames);
    EXPECT_EQ(channel.fade, 1024 - 2 * 64);
    EXPECT_EQ(channel.voice.targetLeft, 4096 * 896 / 1024 / 2);
}

TEST_F(PlaybackTest, KeyMapChoosesTheSampleAndItsVolume) {
    Song(amigaSong, 1, 125, 2);
    InstrumentRecord& record = Instrument(0, {1000, 1000, 1000});
    std::fill(record.sampleMap.begin() + 60, record.sampleMap.end(), 1);
    record.sampleMap[72] = 7;  // beyond sampleCount: plays nothing
    SampleOf(instrumentTable[0].block, 1).volume = 40;
    Pattern(0, 2, {{{0, 59, 1}, {1, 61, 1}}, {{0, 72, 1}, {1, 61, 9}}});
    Start();
    Play(tickFrames);
    EXPECT_EQ(playback->channels[0].sample, 0);
    EXPECT_EQ(playback->channels[1].sample, 1);
    EXPECT_EQ(playback->channels[1].volume, 40);
    Play(tickFrames);
    // A note mapped to no sample, or of an instrument that does not exist, stops the channel.
    EXPECT_EQ(playback->channels[0].voice.data, nullptr);
    EXPECT_EQ(playback->channels[1].voice.data, nullptr);
}

TEST_F(PlaybackTest, HostileSongsEndOrStayBounded) {
    // Every order skipped, and a song of patterns that never existed.
    Song(amigaSong, 6, 125, 1);
    Orders({254, 254});
    EXPECT_EQ(SongFrames(testRate, ~0ull), 0u);
    Start(true);
    EXPECT_EQ(Play(100), 0u);
    // Event streams that take no time, looping: the whole list is passed over once, then done.
    test::ModelTest::SetUp();
    Song(amigaSlides, 6, 125, 1);
    Orders({0, 0, 0});
    auto* block = static_cast<std::uint8_t*>(services.allocate(3));
    block[0] = 0x80, block[1] = 0, block[2] = 0;
    patternTable[0] = {block, 3};
    Start(true);
    EXPECT_EQ(Play(100), 0u);
    // Four nested loops of 16 passes each would play more than 16^4 rows. Rows 0 to 3 are
    // first played with no counter running; channel 0's passes before row 2 (30 rows) and
    // channel 1's before row 3 (15 x 33) are forgotten there, and channel 2's end the song
    // after 4,095 more.
    test::ModelTest::SetUp();
    Song(amigaSong, 1, 125, 4);
    Pattern(0, 6, {{{0, 0, 0, EffectExtended, 0x60}, {1, 0, 0, EffectExtended, 0x60},
                    {2, 0, 0, EffectExtended, 0x60}, {3, 0, 0, EffectExtended, 0x60}},
                   {{0, 0, 0, EffectExtended, 0x6F}},
                   {{1, 0, 0, EffectExtended, 0x6F}},
                   {{2, 0, 0, EffectExtended, 0x6F}},
                   {{3, 0, 0, EffectExtended, 0x6F}}});
    EXPECT_EQ(SongFrames(testRate, ~0ull), (4 + 30 + 15 * 33 + 4095) * tickFrames);
    // Without a module nothing starts, and nothing of the song played before is left to mix
    // (its samples are gone).
    test::ModelTest::SetUp();
    Song(amigaSong, 6, 125, 1);
    Instrument(0, {50000});
    Pattern(0, 1, {{{0, 60, 1}}});
    Start();
    Play(10);
    test::ModelTest::SetUp();
    EXPECT_EQ(StartPlayback(*playback, PlaybackSettings{}), ResultNotLoaded);
    EXPECT_EQ(Play(100), 0u);
}

}  // namespace
}  // namespace tunepak
