#include "loaders/adpcm.h"

#include <vector>

#include "adpcm_test_support.h"
#include "conversion_notes.h"
#include "loaders/loaders.h"
#include "model/conversion_record.h"

namespace tunepak {
namespace {

using test::Bytes;

Bytes Decode(const Bytes& stored, std::size_t frames) {
    Bytes out(frames, 0xEE);
    out.resize(DecodeAdpcm(stored, out));
    return out;
}

Bytes WithTable(std::initializer_list<std::uint8_t> packed) {
    test::ByteWriter stored;
    for (const std::int8_t delta : test::smallSteps) stored.U8(static_cast<std::uint8_t>(delta));
    stored.bytes()[5] = 0x7F;  // one large step, to wrap round
    return stored.Raw(packed).bytes();
}

TEST(AdpcmDecoding, RunningSumsOfTheChosenDeltasLowNibbleFirst) {
    // Nibbles 1, 2, 3, 15 (-1), then 5 (+127) twice: the sum wraps at 8 bits.
    EXPECT_EQ(Decode(WithTable({0x21, 0xF3, 0x55}), 6),
              (Bytes{1, 3, 6, 5, 0x84, 0x03}));
    EXPECT_EQ(AdpcmStoredBytes(6), 19u);
}

TEST(AdpcmDecoding, AnOddLengthLeavesTheLastHighNibbleUnused) {
    EXPECT_EQ(Decode(WithTable({0x21, 0xF3}), 3), (Bytes{1, 3, 6}));
    EXPECT_EQ(AdpcmStoredBytes(3), 18u);
    EXPECT_EQ(AdpcmStoredBytes(0), 16u);
}

TEST(AdpcmDecoding, TruncatedDataGivesOnlyTheFramesPresent) {
    const Bytes stored = WithTable({0x21, 0xF3});
    EXPECT_EQ(Decode(stored, 100), (Bytes{1, 3, 6, 5}));  // the body ends after four
    EXPECT_EQ(Decode(Bytes(stored.begin(), stored.begin() + 17), 4), (Bytes{1, 3}));
    EXPECT_EQ(Decode(Bytes(stored.begin(), stored.begin() + 15), 4), Bytes{});  // no table
    EXPECT_EQ(Decode(Bytes{}, 4), Bytes{});
}

TEST(AdpcmDecoding, DecodesWhatTheEncoderMade) {
    Bytes wave;
    for (int i = 0; i < 301; ++i) wave.push_back(static_cast<std::uint8_t>((i * 7) % 200 - 100));
    const std::array<std::int8_t, 16> table = {0, 1, 2, 4, 8, 16, 32, 64,
                                               -1, -2, -4, -8, -16, -32, -64, -128};
    const test::AdpcmEncoding encoding = test::EncodeAdpcm(wave, table);
    EXPECT_EQ(encoding.stored.size(), AdpcmStoredBytes(301));
    EXPECT_EQ(Decode(encoding.stored, wave.size()), encoding.decoded);
}

class AdpcmSampleTest : public test::ModelTest {
protected:
    void SetUp() override {
        test::ModelTest::SetUp();
        ClearConversionRecord();
    }
};

TEST_F(AdpcmSampleTest, PreparedAsSignedBytesWithTheirLoopTailAndTheStreamAfterTheData) {
    const test::AdpcmEncoding encoding = test::EncodeAdpcm(Bytes{1, 2, 3, 4, 5});
    Bytes file = encoding.stored;
    file.push_back(0x99);  // what follows the sample
    test::MemoryFile input(file);
    InstallStreams(StreamFile, nullptr);
    SampleHeader header{};
    header.length = 5;
    header.loopStart = 1;
    header.loopEnd = 3;
    header.flags = loop | deltaSource | unsignedSource;  // the stored frames are neither
    std::uint8_t* data = nullptr;
    ASSERT_EQ(PrepareAdpcmSample(header, data, input.get()), ResultOk);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(header.length, 3u);  // a looped sample ends at its loop
    EXPECT_EQ(header.flags & (deltaSource | unsignedSource), 0);
    EXPECT_EQ(Bytes(data, data + 6), (Bytes{1, 2, 3, 2, 3, 2}));
    services.release(data);
    EXPECT_EQ(ReadU8(input.get()), 0x99);
    EXPECT_EQ(test::Notes(), (std::vector<test::Noted>{
                                 {ConversionKind::compressedSample, adpcmSampleLabel, 1}}));
}

TEST_F(AdpcmSampleTest, ASampleCutShortKeepsTheFramesItHolds) {
    const test::AdpcmEncoding encoding = test::EncodeAdpcm(Bytes{1, 2, 3, 4, 5, 6});
    test::MemoryFile input(Bytes(encoding.stored.begin(), encoding.stored.end() - 1));
    InstallStreams(StreamFile, nullptr);
    SampleHeader header{};
    header.length = 1'000'000;  // far more than the file holds: nothing of that is allocated
    header.flags2 = fixedLoopBuffer;
    std::uint8_t* data = nullptr;
    ASSERT_EQ(PrepareAdpcmSample(header, data, input.get()), ResultOk);
    EXPECT_EQ(header.length, 4u);
    EXPECT_EQ(header.flags2 & fixedLoopBuffer, 0);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(Bytes(data, data + 4), (Bytes{1, 2, 3, 4}));
    services.release(data);
    EXPECT_EQ(test::Notes().back(),
              (test::Noted{ConversionKind::sampleCut, sampleCutLabel, 1, -1, -1, 999'996}));
}

TEST_F(AdpcmSampleTest, FramesAreEightBitMonoWhateverTheHeaderSaid) {
    // Found by fuzzing the sample decoders: a header marked 16-bit made the preparation read
    // twice the decoded frames.
    const test::AdpcmEncoding encoding = test::EncodeAdpcm(Bytes{1, 2, 3, 4});
    for (const std::uint8_t flags : {sixteenBit, stereoSource}) {
        test::MemoryFile input(encoding.stored);
        InstallStreams(StreamFile, nullptr);
        SampleHeader header{};
        header.length = 4;
        header.flags = flags;
        std::uint8_t* data = nullptr;
        ASSERT_EQ(PrepareAdpcmSample(header, data, input.get()), ResultOk);
        EXPECT_EQ(header.flags, 0);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(Bytes(data, data + 4), (Bytes{1, 2, 3, 4}));
        services.release(data);
    }
}

}  // namespace
}  // namespace tunepak
