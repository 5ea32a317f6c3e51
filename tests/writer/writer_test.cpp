#include "writer/writer.h"

#include <cstring>

#include "io/endian.h"
#include "loaders/loaders.h"
#include "model/patterns.h"
#include "test_support.h"

namespace tunepak {
namespace {

using test::Bytes;

class WriterTest : public test::ModelTest {
protected:
    // A one-row pattern naming `instrument` on channel 0.
    static void AddPattern(std::size_t number, std::uint8_t instrument) {
        PatternEmitter emitter;
        ASSERT_TRUE(emitter.Begin(number, 1));
        emitter.Add({.channel = 0, .instrument = instrument, .note = NoteByte(60)});
        emitter.EndRow();
        emitter.Finish();
    }
    // An instrument in `slot` whose one sample has `frames` frames of the given width.
    static void AddInstrument(std::size_t slot, std::uint32_t frames, bool wide) {
        std::uint8_t* block = NewInstrument(slot, 1);
        ASSERT_NE(block, nullptr);
        SampleHeader& header = SampleOf(block, 0);
        header.length = frames;
        header.flags = wide ? sixteenBit : 0;
        std::memcpy(header.id.data(), "SAMP", 4);
        header.size = 56;
        const std::size_t bytes = std::size_t{frames} * (wide ? 2 : 1);
        auto* data = static_cast<std::uint8_t*>(services.allocate(bytes));
        for (std::size_t i = 0; i < bytes; ++i) data[i] = static_cast<std::uint8_t>(i * 7);
        instrumentTable[slot].sampleData[0] = data;
    }
    static std::uint32_t U32At(const Bytes& image, std::size_t offset) {
        return ReadLe32(image.data() + offset);
    }
};

TEST_F(WriterTest, EmptyModelIsOneHundredAndThreeBytes) {
    EXPECT_EQ(WriteModule(nullptr, StreamFile), 103u);
    const Bytes image = test::WriteImage();
    ASSERT_EQ(image.size(), 103u);
    EXPECT_EQ(std::memcmp(image.data(), "RIFF", 4), 0);
    EXPECT_EQ(U32At(image, 4), 95u);
    EXPECT_EQ(std::memcmp(image.data() + 8, "AMFFMAIN", 8), 0);
    EXPECT_EQ(U32At(image, 16), 73u);
    EXPECT_EQ(std::memcmp(image.data() + 93, "ORDR", 4), 0);
    EXPECT_EQ(U32At(image, 97), 2u);
}

TEST_F(WriterTest, WritesOnlyInstrumentsThatPatternsName) {
    song.songFlags = rowPacked;
    song.channelCount = 1;
    AddPattern(0, 2);   // names slot 1
    AddPattern(7, 0);   // names none; written all the same
    AddInstrument(1, 1000, true);
    AddInstrument(4, 10, false);  // named by no pattern

    const std::uint64_t size = WriteModule(nullptr, StreamFile);
    const Bytes image = test::WriteImage();
    ASSERT_EQ(image.size(), size);
    EXPECT_EQ(U32At(image, 4), size - 8);

    // RIFF head 12, MAIN 8 + 74, ORDR 8 + 2, two PATT chunks, then the one instrument.
    std::size_t p = 12 + 82 + 10;
    const auto pattern0 = test::Pattern(0);
    EXPECT_EQ(std::memcmp(image.data() + p, "PATT", 4), 0);
    EXPECT_EQ(U32At(image, p + 4), pattern0.size() + 5);
    EXPECT_EQ(image[p + 8], 0);
    EXPECT_EQ(U32At(image, p + 9), pattern0.size() - 1);
    p += 8 + 5 + pattern0.size();
    EXPECT_EQ(image[p + 8], 7);
    p += 8 + 5 + test::Pattern(7).size();

    EXPECT_EQ(std::memcmp(image.data() + p, "INST", 4), 0);
    EXPECT_EQ(U32At(image, p + 4), 225u + 64 + 2000);
    EXPECT_EQ(image[p + 9], 1);
    const std::size_t sample = p + 233;
    EXPECT_EQ(std::memcmp(image.data() + sample, "SAMP", 4), 0);
    EXPECT_EQ(U32At(image, sample + 4), 2056u);
    EXPECT_EQ(U32At(image, sample + 56), 0u);  // no pointer ever reaches a file
    EXPECT_EQ(image[sample + 64 + 1], 7);
    EXPECT_EQ(sample + 64 + 2000, image.size());

    // The model keeps its own sizes.
    EXPECT_EQ(test::Instrument(1).size, 289u);
    EXPECT_EQ(test::Sample(1).size, 56u);
}

TEST_F(WriterTest, SampleWithoutBufferIsWrittenAsZeros) {
    song.songFlags = rowPacked;
    AddPattern(0, 1);
    std::uint8_t* block = NewInstrument(0, 1);
    SampleOf(block, 0).length = 5;  // a load that failed before its data arrived
    const Bytes image = test::WriteImage();
    const std::size_t sample = image.size() - 5 - 64;
    EXPECT_EQ(U32At(image, sample + 4), 5u);
    EXPECT_EQ(Bytes(image.end() - 5, image.end()), Bytes(5, 0));
}

TEST_F(WriterTest, SizeOfAFailedLoadIsNeverCutTo32Bits) {
    song.songFlags = rowPacked;
    AddPattern(0, 1);
    std::uint8_t* block = NewInstrument(0, 2);
    SampleOf(block, 0).length = 0xFFFFFFFF;  // headers read, frames never loaded
    SampleOf(block, 1).length = 0x10;
    SampleOf(block, 1).flags = sixteenBit;
    const std::uint64_t size = WriteModule(nullptr, StreamFile);
    EXPECT_EQ(size, 12 + 81 + 10 + 8 + 5 + 5 + 233 + 2 * 64 + 0xFFFFFFFFull + 0x20);
    EXPECT_GT(size, largestImage);
}

TEST_F(WriterTest, EventStreamPatternsAreNoteChunks) {
    const Bytes stream = {0xC1, 0x60, 0x00, 0x00, 0x05, 0x80, 0x00, 0x00, 0xEE};
    auto* data = static_cast<std::uint8_t*>(services.allocate(stream.size()));
    std::memcpy(data, stream.data(), stream.size());
    patternTable[3] = {data, stream.size()};
    NewInstrument(5, 0);
    const Bytes image = test::WriteImage();
    const std::size_t p = 12 + 81 + 10;
    EXPECT_EQ(std::memcmp(image.data() + p, "NOTE", 4), 0);
    EXPECT_EQ(U32At(image, p + 4), 8u + 5);
    EXPECT_EQ(U32At(image, p + 9), 8u);
    EXPECT_EQ(std::memcmp(image.data() + p + 21, "INST", 4), 0);  // instrument 5 is used
}

TEST_F(WriterTest, PatternsTwoHundredFiftyFourAndUpAreNotWritten) {
    song.songFlags = rowPacked;
    AddPattern(254, 0);
    AddPattern(255, 0);
    EXPECT_EQ(WriteModule(nullptr, StreamFile), 103u);
}

TEST_F(WriterTest, WritesToAFileLikeToMemory) {
    song.songFlags = rowPacked;
    song.channelCount = 2;
    AddPattern(1, 1);
    AddInstrument(0, 33, false);
    const Bytes image = test::WriteImage();
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(WriteModule(file, StreamFile), image.size());
    std::rewind(file);
    Bytes fromFile(image.size() + 1);
    EXPECT_EQ(std::fread(fromFile.data(), 1, fromFile.size(), file), image.size());
    fromFile.resize(image.size());
    EXPECT_EQ(fromFile, image);
    std::fclose(file);
}

}  // namespace
}  // namespace tunepak
