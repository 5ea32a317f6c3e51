#include <cstring>

#include "io/endian.h"
#include "loaders/loaders.h"
#include "model/patterns.h"
#include "model/player.h"
#include "test_support.h"
#include "writer/writer.h"

namespace tunepak {
namespace {

using test::Bytes;
using test::ByteWriter;

class AmReaderTest : public test::ModelTest {
protected:
    // A small song: two patterns, two used instruments (one with a looped 16-bit sample and an
    // empty one, one with an 8-bit sample) and one unused instrument.
    static Bytes MakeImage() {
        std::memcpy(song.title.data(), "round trip", 10);
        song.auxTitle[31] = 'x';
        song.songFlags = amigaSlides | rowPacked;
        song.initialSpeed = 4;
        song.initialTempo = 140;
        song.globalVolume = 100;
        song.lastOrder = 2;
        orderList[0] = 1;
        orderList[1] = 0;
        orderList[2] = 255;
        for (std::uint8_t number : {0, 1}) {
            PatternEmitter emitter;
            EXPECT_TRUE(emitter.Begin(number, 2));
            emitter.Add({.channel = 2, .command = EffectVolSlide, .parameter = 4,
                         .instrument = static_cast<std::uint8_t>(number == 0 ? 1 : 3),
                         .note = NoteByte(60), .volume = 40});
            emitter.EndRow();
            emitter.Add({.channel = 0, .note = keyOff});
            emitter.EndRow();
            emitter.Finish();
        }
        song.channelCount = 3;  // channels 0 to 2
        song.channelPan = {13, 51, 51};

        InstallStreams(StreamFile, nullptr);
        std::uint8_t* first = NewInstrument(0, 2);
        std::memcpy(RecordOf(first).name.data(), "lead", 4);
        RecordOf(first).sampleMap[60] = 1;
        RecordOf(first).fadeOut = 256;
        SampleHeader& wide = SampleOf(first, 0);
        wide.length = 8;
        wide.loopStart = 2;
        wide.loopEnd = 6;
        wide.flags = sixteenBit | loop | pingPong | deltaSource | usePan;
        wide.c5Rate = 8363;
        const Bytes wideData = {1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0};
        test::MemoryFile wideFile(wideData);
        EXPECT_EQ(PrepareSample(wide, instrumentTable[0].sampleData[0], wideFile.get()), ResultOk);

        std::uint8_t* third = NewInstrument(2, 1);
        SampleHeader& narrow = SampleOf(third, 0);
        narrow.length = 3;
        narrow.flags = unsignedSource;
        narrow.volume = 99;
        const Bytes narrowData = {0x80, 0x90, 0x70};
        test::MemoryFile narrowFile(narrowData);
        EXPECT_EQ(PrepareSample(narrow, instrumentTable[2].sampleData[0], narrowFile.get()), ResultOk);

        NewInstrument(9, 1);  // named by no pattern
        return test::WriteImage();
    }
};

TEST_F(AmReaderTest, ReadsBackWhatTheWriterWrote) {
    const Bytes image = MakeImage();
    ReleaseModule();
    ASSERT_EQ(test::LoadFromBytes(image), ResultOk);
    EXPECT_EQ(song.channelCount, 3);
    EXPECT_EQ(song.initialTempo, 140);
    EXPECT_EQ(song.lastOrder, 2);
    EXPECT_EQ(orderList[2], 255);
    EXPECT_EQ(instrumentTable[9].block, nullptr);  // not in the file
    EXPECT_EQ(test::Instrument(0).size, 225u + 128);
    EXPECT_EQ(test::Sample(0, 0).length, 6u);
    EXPECT_EQ(test::Sample(0, 1).length, 0u);
    EXPECT_EQ(test::Copy(test::SampleFrames(2)), (Bytes{0x00, 0x10, 0xF0}));
    EXPECT_EQ(test::WriteImage(), image);

    // And the same from a memory block.
    ReleaseModule();
    Bytes copy = image;
    ASSERT_EQ(LoadModule(copy.data(), StreamMemory), ResultOk);
    EXPECT_EQ(test::WriteImage(), image);
}

TEST_F(AmReaderTest, AnImageWithoutChunksLoadsAndUnknownChunksAreSkipped) {
    // No chunks at all.
    const Bytes empty = ByteWriter().Raw({'R', 'I', 'F', 'F'}).U32(4).Text("AMFF", 4).bytes();
    EXPECT_EQ(test::LoadFromBytes(empty), ResultOk);
    EXPECT_EQ(song.channelCount, 0);

    // An unknown chunk between ORDR and PATT is skipped; an INST for slot 5 with two empty
    // samples makes a 361-byte block.
    ByteWriter file;
    file.Text("RIFF", 4).U32(0).Text("AMFF", 4);
    file.Text("MAIN", 4).U32(74).Text("t", 32).Fill(32).Raw({2, 1, 6, 125}).U16(453).U16(65280).U8(64).U8(32);
    file.Text("ORDR", 4).U32(2).U8(0).U8(0);
    file.Text("JUNK", 4).U32(10).Fill(10, 0xAA);
    file.Text("PATT", 4).U32(7).U8(0).U32(1).Raw({0, 0});
    file.Text("INST", 4).U32(225 + 128).U8(0).U8(5).Text("two", 28).U8(2).Fill(194);
    file.Fill(128);  // two sample headers without frames
    file.PutU32At(4, static_cast<std::uint32_t>(file.size() - 8));
    ReleaseModule();
    ASSERT_EQ(test::LoadFromBytes(file.bytes()), ResultOk);
    EXPECT_EQ(song.channelCount, 1);
    EXPECT_EQ(song.channelPan[0], 32);
    EXPECT_EQ(test::Pattern(0).size(), 2u);
    EXPECT_EQ(test::Instrument(5).size, 353u);
    EXPECT_EQ(test::Instrument(5).index, 5);
    EXPECT_EQ(test::Instrument(5).sampleCount, 2);
}

TEST_F(AmReaderTest, RejectsValuesBeyondTheModel) {
    ByteWriter badSlot;
    badSlot.Text("RIFF", 4).U32(100).Text("AMFF", 4).Text("INST", 4).U32(225).U8(0).U8(128).Fill(223);
    EXPECT_EQ(test::LoadFromBytes(badSlot.bytes()), ResultBadFile);
    ReleaseModule();

    ByteWriter manyChannels;
    manyChannels.Text("RIFF", 4).U32(300).Text("AMFF", 4).Text("MAIN", 4).U32(73 + 65).Fill(65).U8(65);
    manyChannels.Fill(80);
    EXPECT_EQ(test::LoadFromBytes(manyChannels.bytes()), ResultBadFile);
    EXPECT_EQ(song.channelCount, 0);
}

TEST_F(AmReaderTest, ReplacedChunksReleaseTheEarlierBlock) {
    ByteWriter file;
    file.Text("RIFF", 4).U32(0).Text("AMFF", 4);
    for (int i = 0; i < 2; ++i) {
        file.Text("PATT", 4).U32(7).U8(3).U32(1).Raw({0, 0});
        file.Text("INST", 4).U32(225).U8(0).U8(1).Fill(223);
    }
    file.PutU32At(4, static_cast<std::uint32_t>(file.size() - 8));
    EXPECT_EQ(test::LoadFromBytes(file.bytes()), ResultOk);  // the sanitizer run finds any leak
    EXPECT_NE(instrumentTable[1].block, nullptr);
}

TEST_F(AmReaderTest, TruncatedImagesFailCleanlyAtEveryLength) {
    const Bytes image = MakeImage();
    ReleaseModule();
    for (std::size_t length = 12; length < image.size(); ++length) {
        const Bytes cut(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(length));
        const int result = test::LoadFromBytes(cut);
        EXPECT_TRUE(result == ResultOk || result == ResultBadFile) << length << ": " << result;
        test::WriteImage();  // whatever was read can still be written
        ReleaseModule();
        EXPECT_EQ(instrumentTable[0].block, nullptr);
    }
}

TEST_F(AmReaderTest, AllocationFailuresEndInTheirResultCodes) {
    const Bytes image = MakeImage();
    ReleaseModule();
    EXPECT_GT(test::ExpectCleanAllocationFailures(image), 4);
}

}  // namespace
}  // namespace tunepak
