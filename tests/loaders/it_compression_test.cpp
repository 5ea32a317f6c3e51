#include "loaders/it_compression.h"

#include <cstdint>
#include <vector>

#include "io/services.h"
#include "it_test_support.h"
#include "loaders/loaders.h"

namespace tunepak {
namespace {

using test::BitWriter;
using test::Bytes;
using test::CompressedBlock;
using test::ItModule;
using test::ItSampleSpec;

// Every kind of width change of the 8-bit scheme. Deltas 5, -3, 2, -1, 16, -2.
Bytes EightBitBits() {
    BitWriter bits;
    bits.Put(5, 9).Put(0xFD, 9);        // widest values: the low byte
    bits.Put(0x103, 9);                 // top bit set: width (0x03 + 1) = 4
    bits.Put(2, 4).Put(0xF, 4);         // narrow values are sign-extended
    bits.Put(0x8, 4).Put(6, 3);         // marker, then 6 + 1 = 7, not below 4: width 8
    bits.Put(0x10, 8);
    bits.Put(0x82, 8);                  // 0x82 - 0x7B = 7, below 8: width 7
    bits.Put(0x7E, 7);
    return bits.bytes();
}

// The same for 16 bits. Deltas 1000, -500, 3, -15, 291, -300.
Bytes SixteenBitBits() {
    BitWriter bits;
    bits.Put(1000, 17).Put(0xFE0C, 17);
    bits.Put(0x10004, 17);              // width 5
    bits.Put(3, 5).Put(0x11, 5);
    bits.Put(0x10, 5).Put(10, 4);       // marker, then 10 + 1 = 11, not below 5: width 12
    bits.Put(0x123, 12).Put(0xED4, 12);
    return bits.bytes();
}

std::vector<int> Signed8(std::span<const std::uint8_t> frames) {
    std::vector<int> values;
    for (std::uint8_t v : frames) values.push_back(static_cast<std::int8_t>(v));
    return values;
}

std::vector<int> Decode8(const Bytes& bits, std::size_t frames, bool doubleDelta) {
    Bytes out(frames, 0xEE);
    DecodeCompressedBlock(bits, out, 1, doubleDelta);
    return Signed8(out);
}

std::vector<int> Decode16(const Bytes& bits, std::size_t frames, bool doubleDelta) {
    Bytes out(frames * 2, 0xEE);
    DecodeCompressedBlock(bits, out, 2, doubleDelta);
    std::vector<int> values;
    for (std::size_t i = 0; i < frames; ++i) {
        values.push_back(static_cast<std::int16_t>(out[2 * i] | (out[2 * i + 1] << 8)));
    }
    return values;
}

// The decoder serves the frames itself: the process-wide stream functions are never swapped,
// not even while the sample is read.
TEST(ItCompressedSampleDecoding, TheServiceTableStaysAsItIs) {
    using Read = std::size_t (*)(void*, std::size_t, std::size_t, void*);
    static Read fileRead = nullptr;
    static Read watching = nullptr;
    static bool swapped = false;
    const Bytes data = CompressedBlock(BitWriter().Put(4, 9).Put(2, 9).bytes());
    test::MemoryFile file(data);
    InstallStreams(StreamFile, nullptr);
    fileRead = services.read;
    watching = [](void* buffer, std::size_t itemSize, std::size_t count, void* stream) {
        if (services.read != watching) swapped = true;  // reached through another read
        return fileRead(buffer, itemSize, count, stream);
    };
    services.read = watching;
    SampleHeader header{};
    header.length = 2;
    std::uint8_t* frames = nullptr;
    EXPECT_EQ(PrepareCompressedSample(header, frames, file.get(), false), ResultOk);
    EXPECT_FALSE(swapped);
    EXPECT_EQ(services.read, watching);
    services.read = fileRead;
    ASSERT_NE(frames, nullptr);
    EXPECT_EQ(Signed8({frames, 2}), (std::vector<int>{4, 6}));
    services.release(frames);
}

TEST(ItCompression, EightBitValuesIntegratedOnceOrTwice) {
    EXPECT_EQ(Decode8(EightBitBits(), 6, false), (std::vector<int>{5, 2, 4, 3, 19, 17}));
    EXPECT_EQ(Decode8(EightBitBits(), 6, true), (std::vector<int>{5, 7, 11, 14, 33, 50}));
}

TEST(ItCompression, SixteenBitValuesIntegratedOnceOrTwice) {
    const std::vector<int> once = {1000, 500, 503, 488, 779, 479};
    const std::vector<int> twice = {1000, 1500, 2003, 2491, 3270, 3749};
    EXPECT_EQ(Decode16(SixteenBitBits(), 6, false), once);
    EXPECT_EQ(Decode16(SixteenBitBits(), 6, true), twice);
}

TEST(ItCompression, BitsPastTheBlockReadAsZero) {
    const Bytes bits = BitWriter().Put(5, 9).bytes();
    EXPECT_EQ(Decode8(bits, 4, false), (std::vector<int>{5, 5, 5, 5}));
    EXPECT_EQ(Decode8(bits, 4, true), (std::vector<int>{5, 10, 15, 20}));
    EXPECT_EQ(Decode8({}, 4, false), (std::vector<int>{0, 0, 0, 0}));
}

TEST(ItCompression, AWidthOutsideTheSchemeEndsTheBlock) {
    EXPECT_EQ(Decode8(BitWriter().Put(5, 9).Put(0x1FF, 9).Put(7, 9).bytes(), 4, false),
              (std::vector<int>{5, 0, 0, 0}));  // width 0
    EXPECT_EQ(Decode8(BitWriter().Put(0x109, 9).Put(7, 9).bytes(), 4, false),
              (std::vector<int>{0, 0, 0, 0}));  // width 10
    EXPECT_EQ(Decode16(BitWriter().Put(9, 17).Put(0x10011, 17).Put(7, 17).bytes(), 3, false),
              (std::vector<int>{9, 0, 0}));  // width 18
}

// Silence at the narrowest width: runs of zero bits of every length (within the window, across
// whole zero bytes, across eight zero bytes at a time), each ended by a marker back to width 1
// or by the frame count or by the end of the bits.
TEST(ItCompression, SilenceAtWidthOneInRunsOfAnyLength) {
    for (const bool sixteen : {false, true}) {
        SCOPED_TRACE(sixteen ? "16-bit" : "8-bit");
        const int top = sixteen ? 17 : 9;
        const int field = sixteen ? 4 : 3;
        BitWriter bits;
        std::vector<int> deltas;
        bits.Put(7, top);
        deltas.push_back(7);
        bits.Put(1u << (top - 1), top);  // width 1
        for (const int zeros : {3, 21, 64, 77, 200}) {
            bits.Put(0, 1);  // one more value so that every run of zeros is a run of deltas
            for (int i = 0; i < zeros; ++i) bits.Put(0, 1);
            deltas.insert(deltas.end(), static_cast<std::size_t>(zeros + 1), 0);
            bits.Put(1, 1).Put(1, field);  // marker, then 1 + 1, not below 1: width 3
            bits.Put(3, 3);
            deltas.push_back(3);
            bits.Put(4, 3).Put(0, field);  // marker, then 0 + 1, below 3: width 1
        }
        bits.Put(0, 1).Put(0, 1);  // two zero deltas, then the bits run out (zeros)
        deltas.insert(deltas.end(), 2 + 10, 0);

        for (const bool doubleDelta : {false, true}) {
            std::vector<int> expected;
            int once = 0;
            int twice = 0;
            for (const int delta : deltas) {
                once += delta;
                twice += once;
                const int sum = doubleDelta ? twice : once;
                expected.push_back(sixteen ? static_cast<std::int16_t>(sum)
                                           : static_cast<std::int8_t>(sum));
            }
            const auto decode = sixteen ? Decode16 : Decode8;
            EXPECT_EQ(decode(bits.bytes(), expected.size(), doubleDelta), expected);
            // Cut inside the long runs.
            for (const std::size_t cut : {std::size_t{50}, std::size_t{190}, std::size_t{300}}) {
                EXPECT_EQ(decode(bits.bytes(), cut, doubleDelta),
                          std::vector<int>(expected.begin(), expected.begin() + cut));
            }
        }
    }
}

// --- Compressed samples in modules ---------------------------------------------------------------

class ItCompressedSampleTest : public test::ModelTest {};

ItSampleSpec Compressed(Bytes data, std::uint32_t length, bool sixteen = false, bool doubleDelta = false) {
    return {.flags = static_cast<std::uint8_t>(0x09 | (sixteen ? 0x02 : 0)),
            .convert = static_cast<std::uint8_t>(0x01 | (doubleDelta ? 0x04 : 0)),
            .length = length,
            .data = std::move(data)};
}

TEST_F(ItCompressedSampleTest, BothVariantsAndWidthsDecodeToPcm) {
    ItModule m;
    m.samples = {Compressed(CompressedBlock(EightBitBits()), 6),
                 Compressed(CompressedBlock(EightBitBits()), 6, false, true),
                 Compressed(CompressedBlock(SixteenBitBits()), 6, true),
                 Compressed(CompressedBlock(SixteenBitBits()), 6, true, true),
                 Compressed(CompressedBlock(EightBitBits()), 6)};
    m.samples[4].convert = 0x00;  // unsigned: the top bit flips after decoding
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);
    EXPECT_EQ(services.read, FileRead);  // put back after each decoded sample
    EXPECT_EQ(services.seek, FileSeek);

    EXPECT_EQ(Signed8(test::SampleFrames(0)), (std::vector<int>{5, 2, 4, 3, 19, 17}));
    EXPECT_EQ(Signed8(test::SampleFrames(1)), (std::vector<int>{5, 7, 11, 14, 33, 50}));
    const auto wide = test::SampleFrames(2);
    ASSERT_EQ(wide.size(), 12u);
    EXPECT_EQ(static_cast<std::int16_t>(wide[10] | (wide[11] << 8)), 479);
    const auto wideTwice = test::SampleFrames(3);
    ASSERT_EQ(wideTwice.size(), 12u);
    EXPECT_EQ(static_cast<std::int16_t>(wideTwice[10] | (wideTwice[11] << 8)), 3749);
    EXPECT_EQ(Signed8(test::SampleFrames(4)), (std::vector<int>{-123, -126, -124, -125, -109, -111}));
    EXPECT_EQ(test::Sample(4).flags, 0x80);  // converted: the unsigned bit is cleared
    EXPECT_EQ(test::Sample(4).flags2, converted);
}

TEST_F(ItCompressedSampleTest, EachBlockStartsAfreshAndABrokenBlockLeavesTheNextOne) {
    // A block decodes to at most eight frames a byte (one bit a frame at the narrowest width):
    // a broken block's bits run out with its own frames, zeros after the break.
    const Bytes firstBits = BitWriter().Put(5, 9).Put(0x1FF, 9).bytes();  // then width 0
    const std::uint32_t first8 = static_cast<std::uint32_t>(8 * firstBits.size());
    Bytes data = CompressedBlock(firstBits);
    const Bytes second = CompressedBlock(BitWriter().Put(1, 9).Put(1, 9).Put(1, 9).bytes());
    data.insert(data.end(), second.begin(), second.end());

    const Bytes wideBits = BitWriter().Put(7, 17).bytes();
    const std::uint32_t first16 = static_cast<std::uint32_t>(8 * wideBits.size());
    Bytes wide = CompressedBlock(wideBits);
    const Bytes wideSecond = CompressedBlock(BitWriter().Put(1, 17).Put(1, 17).bytes());
    wide.insert(wide.end(), wideSecond.begin(), wideSecond.end());

    ItModule m;
    m.samples = {Compressed(data, first8 + 3), Compressed(wide, first16 + 2, true)};
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);

    const auto frames = test::SampleFrames(0);
    ASSERT_EQ(frames.size(), first8 + 3);
    EXPECT_EQ(frames[0], 5);
    EXPECT_TRUE(std::all_of(frames.begin() + 1, frames.begin() + first8, [](auto v) { return v == 0; }));
    EXPECT_EQ(Signed8(frames.subspan(first8)), (std::vector<int>{1, 2, 3}));

    const auto wideFrames = test::SampleFrames(1);
    ASSERT_EQ(wideFrames.size(), 2u * (first16 + 2));
    EXPECT_EQ(wideFrames[2 * (first16 - 1)], 7);  // the last frame of the first block
    EXPECT_EQ(wideFrames[2 * first16], 1);
    EXPECT_EQ(wideFrames[2 * first16 + 2], 2);
}

TEST_F(ItCompressedSampleTest, ASampleEndsWithTheBlocksTheFileHolds) {
    ItModule m;
    // A million frames claimed, one block of two bytes in the file; the loop reaches past it.
    m.samples = {Compressed(CompressedBlock(BitWriter().Put(3, 9).bytes()), 1'000'000)};
    m.samples[0].flags |= 0x10;
    m.samples[0].loopBegin = 10;
    m.samples[0].loopEnd = 500;
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);

    const SampleHeader& header = test::Sample(0);
    EXPECT_EQ(header.length, 16u);
    EXPECT_EQ(header.loopEnd, 16u);
    EXPECT_EQ(header.flags & loop, loop);
    EXPECT_EQ(test::SampleFrames(0)[15], 3);
}

TEST(ItCompressedSampleDecoding, AFixedLoopedBufferRequestIsNotHonoured) {
    // Found by fuzzing the sample decoders: a header asking for a 65,536-frame looped buffer
    // made the preparation read past the decoded frames. Compressed samples are never such
    // buffers.
    const Bytes data = CompressedBlock(BitWriter().Put(4, 9).Put(2, 9).bytes());
    test::MemoryFile file(data);
    InstallStreams(StreamFile, nullptr);
    SampleHeader header{};
    header.length = 8;
    header.flags2 = fixedLoopBuffer;
    std::uint8_t* frames = nullptr;
    ASSERT_EQ(PrepareCompressedSample(header, frames, file.get(), false), ResultOk);
    EXPECT_EQ(header.length, 8u);
    EXPECT_EQ(header.flags2 & fixedLoopBuffer, 0);
    ASSERT_NE(frames, nullptr);
    EXPECT_EQ(Signed8({frames, 8}), (std::vector<int>{4, 6, 6, 6, 6, 6, 6, 6}));
    services.release(frames);
}

TEST_F(ItCompressedSampleTest, EmptyBlocksDecodeToNothing) {
    // Block heads without data once inflated to 32 KB of frames each: a few kilobytes of them
    // made a gigabyte of sample.
    Bytes data;
    for (int i = 0; i < 2000; ++i) data.insert(data.end(), {0, 0});
    data.insert(data.end(), {1, 0, 0x03});  // one byte: at most eight frames
    ItModule m;
    m.samples = {Compressed(data, 0x7FFFFFFF)};
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);
    EXPECT_EQ(test::Sample(0).length, 8u);
}

TEST_F(ItCompressedSampleTest, BitsCutOffByTheEndOfTheFileReadAsZero) {
    test::ByteWriter data;
    data.U16(40).Raw(BitWriter().Put(4, 9).Put(2, 9).bytes());  // 40 bytes claimed, 3 present
    ItModule m;
    m.samples = {Compressed(data.bytes(), 8)};
    ASSERT_EQ(test::LoadFromBytes(m.Build()), ResultOk);
    EXPECT_EQ(Signed8(test::SampleFrames(0)), (std::vector<int>{4, 6, 6, 6, 6, 6, 6, 6}));
}

TEST_F(ItCompressedSampleTest, MemoryModeStreamIsPutBack) {
    ItModule m;
    m.samples = {Compressed(CompressedBlock(EightBitBits()), 6), {.data = {9, 8, 7}}};
    const Bytes file = m.Build();
    ASSERT_EQ(LoadModule(const_cast<std::uint8_t*>(file.data()), StreamMemory), ResultOk);
    EXPECT_EQ(services.read, MemoryRead);
    EXPECT_EQ(Signed8(test::SampleFrames(0)), (std::vector<int>{5, 2, 4, 3, 19, 17}));
    EXPECT_EQ(Signed8(test::SampleFrames(1)), (std::vector<int>{9, 8, 7}));
    InstallStreams(StreamFile, nullptr);
}

}  // namespace
}  // namespace tunepak
