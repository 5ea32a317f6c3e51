#include "model/patterns.h"

#include "test_support.h"

namespace tunepak {
namespace {

using test::Bytes;

class PatternEmitterTest : public test::ModelTest {};

TEST_F(PatternEmitterTest, WritesTheFlagAndPartsOfAnEventInTheirOrder) {
    PatternEmitter emitter;
    ASSERT_TRUE(emitter.Begin(0, 1));
    EXPECT_FALSE(emitter.Add({.channel = 0}));  // nothing to say: no event
    EXPECT_TRUE(emitter.Add({.channel = 2,
                             .command = EffectVolSlide,
                             .parameter = 0x04,
                             .instrument = 3,
                             .note = NoteByte(60),
                             .volume = 40}));
    emitter.EndRow();
    emitter.Finish();
    EXPECT_EQ(test::PatternBytes(0), (Bytes{0x00, 0xE2, 0x04, 0x0A, 0x03, 0x3D, 0x28, 0x00}));
    EXPECT_EQ(PatternEmitter::HighestChannel(), 2);
}

TEST_F(PatternEmitterTest, PartsAppearOnlyWhenPresent) {
    PatternEmitter emitter;
    ASSERT_TRUE(emitter.Begin(3, 2));
    EXPECT_TRUE(emitter.Add({.channel = 1, .volume = 0}));             // volume 0 is a volume
    EXPECT_TRUE(emitter.Add({.channel = 4, .parameter = 0x37}));       // arpeggio 37
    EXPECT_TRUE(emitter.Add({.channel = 5, .note = keyOff}));          // key off, no instrument
    EXPECT_FALSE(emitter.Add({.channel = 32, .note = NoteByte(1)}));   // beyond five channel bits
    emitter.EndRow();
    emitter.EndRow();
    emitter.Finish();
    EXPECT_EQ(test::PatternBytes(3),
              (Bytes{0x01, 0x21, 0x00, 0x84, 0x37, 0x00, 0x45, 0x00, 0x80, 0x00, 0x00}));
    EXPECT_EQ(PatternEmitter::HighestChannel(), 5);
}

TEST_F(PatternEmitterTest, NeverWritesBeyondItsBlock) {
    PatternEmitter emitter;
    ASSERT_TRUE(emitter.Begin(1, 2));
    // A damaged packed row can present more cells than there are channels.
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(emitter.Add({.channel = i % 32, .command = 1, .parameter = 1, .instrument = 1,
                               .note = 1, .volume = 1}),
                  i < 32);
    }
    emitter.EndRow();
    EXPECT_TRUE(emitter.Add({.channel = 0, .volume = 5}));  // the next row starts afresh
    emitter.EndRow();
    emitter.EndRow();  // beyond the two rows: ignored
    EXPECT_FALSE(emitter.Add({.channel = 0, .volume = 5}));
    emitter.Finish();
    EXPECT_EQ(test::Pattern(1).size(), MaxPackedPatternSize(1) + 3);
    EXPECT_EQ(WalkRowPacked(test::Pattern(1)).length, test::Pattern(1).size());
}

TEST(PatternWalk, RowPackedLengthAndInstruments) {
    const Bytes block = {0x01, 0xE2, 0x04, 0x0A, 0x03, 0x3D, 0x28, 0x00,
                         0x40, 0x81, 0x30, 0x00, 0xFF, 0xEE};  // two rows, then bytes past them
    const PatternWalk walk = WalkRowPacked(block);
    EXPECT_EQ(walk.length, 12u);
    EXPECT_TRUE(walk.usedInstruments[2]);
    EXPECT_TRUE(walk.usedInstruments[0]);  // instrument 129 wraps to slot 0
    EXPECT_EQ(walk.usedInstruments.count(), 2u);
}

TEST(PatternWalk, RowPackedStopsAtTheBlockEnd) {
    Bytes block(1, 255);  // 256 rows claimed
    block.push_back(0x40);  // an instrument-and-note part cut off by the block's end
    block.push_back(0x05);
    const PatternWalk walk = WalkRowPacked(block);
    EXPECT_EQ(walk.length, block.size());
    EXPECT_TRUE(walk.usedInstruments[4]);
}

TEST(PatternWalk, SixtyFourEmptyRowsAreSixtyFiveBytes) {
    Bytes block(65, 0);
    block[0] = 63;
    block.resize(80, 0x55);
    EXPECT_EQ(WalkRowPacked(block).length, 65u);
}

TEST(PatternWalk, EventStreamLengthAndInstrumentsUpToItsTerminator) {
    const Bytes terminatorOnly = {0x80, 0x00, 0x00};
    EXPECT_EQ(WalkEventStream(terminatorOnly).length, 3u);
    EXPECT_TRUE(WalkEventStream(terminatorOnly).usedInstruments.none());

    const Bytes stream = {0xC1, 0x60, 0x00, 0x00, 0x05, 0x01, 0x48, 0x40,
                          0x05, 0x00, 0x00, 0x80, 0x00, 0x00, 0x99};
    const PatternWalk walk = WalkEventStream(stream);
    EXPECT_EQ(walk.length, 14u);
    EXPECT_TRUE(walk.usedInstruments[5]);
    EXPECT_EQ(walk.usedInstruments.count(), 1u);
}

TEST(PatternWalk, EventStreamWithoutTerminatorEndsAtTheBlock) {
    const Bytes stream = {0x01, 0x48, 0x40, 0x07, 0x00, 0x00, 0x41, 0x04, 0x10};
    const PatternWalk walk = WalkEventStream(stream);
    EXPECT_EQ(walk.length, stream.size());
    EXPECT_TRUE(walk.usedInstruments[7]);
}

}  // namespace
}  // namespace tunepak
