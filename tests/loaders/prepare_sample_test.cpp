#include <cstring>
#include <numeric>

#include "loaders/loaders.h"
#include "test_support.h"

namespace tunepak {
namespace {

using test::Bytes;

// Prepares one sample header over the given source bytes (file mode), keeping the frames.
class PrepareSampleTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (data != nullptr) services.release(data);
    }

    int Prepare(const Bytes& source) {
        InstallStreams(StreamFile, nullptr);
        test::MemoryFile file(source);
        if (data != nullptr) services.release(data);
        data = nullptr;
        return PrepareSample(header, data, file.get());
    }

    // Elements 0..count-1 of the prepared block (8-bit).
    Bytes Elements(std::size_t count) const { return Bytes(data, data + count); }

    static Bytes Ramp(std::size_t count, std::uint8_t first = 0) {
        Bytes bytes(count);
        std::iota(bytes.begin(), bytes.end(), first);
        return bytes;
    }

    SampleHeader header{};
    std::uint8_t* data = nullptr;
};

TEST_F(PrepareSampleTest, DeltaAndUnsignedEightBit) {
    header.length = 4;
    header.flags = deltaSource;
    ASSERT_EQ(Prepare({1, 1, 1, 1}), ResultOk);
    EXPECT_EQ(Elements(4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(header.flags & (deltaSource | unsignedSource), 0);
    EXPECT_EQ(header.flags2 & converted, converted);
    EXPECT_EQ(std::memcmp(header.id.data(), "SAMP", 4), 0);
    EXPECT_EQ(header.size, 56u);

    header = {};
    header.length = 2;
    header.flags = deltaSource;
    ASSERT_EQ(Prepare({0x7F, 0x01}), ResultOk);
    EXPECT_EQ(Elements(2), (Bytes{0x7F, 0x80}));  // the accumulator wraps

    header = {};
    header.length = 2;
    header.flags = unsignedSource;
    ASSERT_EQ(Prepare({0x80, 0x00}), ResultOk);
    EXPECT_EQ(Elements(2), (Bytes{0x00, 0x80}));

    header = {};
    header.length = 2;
    header.flags = deltaSource | unsignedSource;  // delta first, then the sign
    ASSERT_EQ(Prepare({0x80, 0x01}), ResultOk);
    EXPECT_EQ(Elements(2), (Bytes{0x00, 0x01}));
}

TEST_F(PrepareSampleTest, SixteenBitDeltaByBytesAndByWords) {
    header.length = 2;
    header.flags = sixteenBit | deltaSource;
    ASSERT_EQ(Prepare({0x10, 0x01, 0x01, 0x01}), ResultOk);
    EXPECT_EQ(Elements(4), (Bytes{0x10, 0x11, 0x12, 0x13}));

    header = {};
    header.length = 2;
    header.flags = sixteenBit | deltaSource | usePan;
    ASSERT_EQ(Prepare({0x10, 0x01, 0xF0, 0x00}), ResultOk);
    EXPECT_EQ(Elements(4), (Bytes{0x10, 0x01, 0x00, 0x02}));  // 0x0110 + 0x00F0 = 0x0200

    header = {};
    header.length = 1;
    header.flags = sixteenBit | unsignedSource;
    ASSERT_EQ(Prepare({0x00, 0x80}), ResultOk);
    EXPECT_EQ(Elements(2), (Bytes{0x00, 0x00}));
}

TEST_F(PrepareSampleTest, StereoSplitsEvenAndOddLengths) {
    header.length = 6;
    header.flags = stereoSource;
    ASSERT_EQ(Prepare({10, 20, 11, 21, 12, 22}), ResultOk);
    EXPECT_EQ(Elements(6), (Bytes{10, 11, 12, 20, 21, 22}));
    EXPECT_EQ(header.flags & stereoSource, stereoSource);

    header = {};
    header.length = 7;
    header.flags = stereoSource;
    ASSERT_EQ(Prepare({10, 20, 11, 21, 12, 22, 99}), ResultOk);
    EXPECT_EQ(Elements(7), (Bytes{10, 11, 12, 20, 21, 22, 99}));

    // Prepared again from a stored image: no second split.
    Bytes stored = Elements(7);
    header.id = {};
    ASSERT_EQ(Prepare(stored), ResultOk);
    EXPECT_EQ(Elements(7), stored);
}

TEST_F(PrepareSampleTest, ForwardLoopTailRepeatsTheLoop) {
    header.length = 20;
    header.loopStart = 10;
    header.loopEnd = 20;
    header.flags = loop;
    ASSERT_EQ(Prepare(Ramp(20)), ResultOk);
    const Bytes tail(data + 20, data + 20 + 31);
    for (std::size_t k = 0; k < 31; ++k) EXPECT_EQ(tail[k], 10 + k % 10) << k;
}

TEST_F(PrepareSampleTest, PingPongTailsOfLengthTenAndHundred) {
    header.length = 30;  // data runs on past the loop end: it is replaced by the tail
    header.loopStart = 10;
    header.loopEnd = 20;
    header.flags = loop | pingPong;
    ASSERT_EQ(Prepare(Ramp(30)), ResultOk);
    EXPECT_EQ(header.length, 20u);
    for (std::size_t k = 0; k < 41; ++k) {
        const std::size_t m = k % 20;
        const std::size_t source = m < 10 ? 20 - m : 10 + (m - 10);
        EXPECT_EQ(data[20 + k], source) << k;
    }

    header = {};
    header.length = 101;
    header.loopStart = 1;
    header.loopEnd = 101;
    header.flags = loop | pingPong;
    ASSERT_EQ(Prepare(Ramp(101)), ResultOk);
    // No source element at the loop end: it repeats the last loop element.
    EXPECT_EQ(data[101], 100);
    for (std::size_t k = 1; k < 100; ++k) EXPECT_EQ(data[101 + k], 101 - k) << k;
    for (std::size_t k = 100; k < 131; ++k) EXPECT_EQ(data[101 + k], 1 + (k - 100)) << k;
}

// The conversions and tails, element by element as the format defines them, for comparison with
// the prepared blocks.
Bytes ReferenceBlock(Bytes bytes, std::uint32_t length, std::uint8_t flags, std::uint32_t loopStart,
                     std::uint32_t loopEnd) {
    const std::size_t width = (flags & sixteenBit) ? 2 : 1;
    bytes.resize(length * width);
    if (flags & stereoSource) {
        const Bytes scratch = bytes;
        const std::size_t half = length / 2;
        for (std::size_t i = 0; i < half; ++i) {
            for (std::size_t b = 0; b < width; ++b) {
                bytes[i * width + b] = scratch[2 * i * width + b];
                bytes[(half + i) * width + b] = scratch[(2 * i + 1) * width + b];
            }
        }
    }
    unsigned accumulator = 0;
    for (std::size_t i = 0; i < length; ++i) {
        std::uint8_t* element = &bytes[i * width];
        if ((flags & deltaSource) && width == 2 && (flags & usePan)) {
            accumulator = (accumulator + element[0] + (element[1] << 8)) & 0xFFFF;
            element[0] = static_cast<std::uint8_t>(accumulator);
            element[1] = static_cast<std::uint8_t>(accumulator >> 8);
        } else if (flags & deltaSource) {
            for (std::size_t b = 0; b < width; ++b) {
                accumulator = (accumulator + element[b]) & 0xFF;
                element[b] = static_cast<std::uint8_t>(accumulator);
            }
        }
        if (flags & unsignedSource) element[width - 1] ^= 0x80;
    }
    if (!(flags & loop)) {
        bytes.resize((length + 31) * width, 0);
        return bytes;
    }
    const std::size_t loopLength = loopEnd - loopStart;
    const std::size_t tail = 31 + ((flags & pingPong) ? loopLength : 0);
    bytes.resize((loopEnd + 1) * width);
    if (loopEnd == length) {  // nothing was read at the loop end: the last element stands in
        for (std::size_t b = 0; b < width; ++b) {
            bytes[loopEnd * width + b] = bytes[(loopEnd - 1) * width + b];
        }
    }
    Bytes block(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(loopEnd * width));
    for (std::size_t k = 0; k < tail; ++k) {
        std::size_t from = loopStart + k % loopLength;
        if (flags & pingPong) {
            const std::size_t m = k % (2 * loopLength);
            from = m < loopLength ? loopEnd - m : loopStart + (m - loopLength);
        }
        for (std::size_t b = 0; b < width; ++b) block.push_back(bytes[from * width + b]);
    }
    return block;
}

TEST_F(PrepareSampleTest, EveryConversionAndTailAgreesWithTheElementByElementDefinition) {
    Bytes source(2 * 300);
    std::uint32_t seed = 12345;
    for (std::uint8_t& byte : source) {
        seed = seed * 1103515245 + 12345;
        byte = static_cast<std::uint8_t>(seed >> 16);
    }
    const std::uint8_t kinds[] = {0, deltaSource, unsignedSource, deltaSource | unsignedSource,
                                  stereoSource, stereoSource | deltaSource | unsignedSource};
    const std::uint8_t widths[] = {0, sixteenBit, sixteenBit | usePan};
    const std::uint8_t loops[] = {0, loop, loop | pingPong};
    for (const std::uint8_t wide : widths) {
        for (const std::uint8_t kind : kinds) {
            for (const std::uint32_t length : {1u, 2u, 7u, 64u, 300u}) {
                for (const std::uint8_t looping : loops) {
                    const std::uint32_t loopStart = length / 3;
                    const std::uint32_t loopEnd = looping && length > 1 ? length - length / 4 : 0;
                    const auto flags = static_cast<std::uint8_t>(
                        wide | kind | (loopEnd > loopStart ? looping : 0));
                    header = {};
                    header.length = length;
                    header.loopStart = loopStart;
                    header.loopEnd = loopEnd;
                    header.flags = flags;
                    ASSERT_EQ(Prepare(source), ResultOk);
                    const Bytes expected = ReferenceBlock(source, length, flags, loopStart, loopEnd);
                    EXPECT_EQ(Bytes(data, data + expected.size()), expected)
                        << "flags " << int(flags) << " length " << length;
                }
            }
        }
    }
}

TEST_F(PrepareSampleTest, NormalisesVolumeAndLoops) {
    header.length = 4000;
    header.loopStart = 4000;
    header.loopEnd = 5000;
    header.volume = 200;
    header.flags = loop | pingPong;
    ASSERT_EQ(Prepare(Bytes(4000, 1)), ResultOk);
    EXPECT_EQ(header.volume, 64);
    EXPECT_EQ(header.loopEnd, 4000u);
    EXPECT_EQ(header.flags & (loop | pingPong), 0);  // an empty loop is no loop
    EXPECT_EQ(Bytes(data + 4000, data + 4031), Bytes(31, 0));

    header = {};
    header.length = 10;
    header.loopStart = 8;
    header.loopEnd = 3;  // start above end: no loop
    header.flags = loop;
    ASSERT_EQ(Prepare(Ramp(10)), ResultOk);
    EXPECT_EQ(header.flags & loop, 0);
    EXPECT_EQ(header.length, 10u);

    header = {};
    header.flags = pingPong;  // ping-pong without loop means nothing
    header.length = 2;
    header.loopEnd = 2;
    ASSERT_EQ(Prepare(Ramp(2)), ResultOk);
    EXPECT_EQ(header.flags & pingPong, 0);
}

TEST_F(PrepareSampleTest, EmptySampleAllocatesNothing) {
    header.length = 0;
    ASSERT_EQ(Prepare({1, 2, 3}), ResultOk);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(header.id, (std::array<char, 4>{}));
    EXPECT_EQ(header.size, 0u);
}

TEST_F(PrepareSampleTest, LengthIsCutToTheFramesTheFileHolds) {
    header.length = 1000;
    header.loopStart = 2;
    header.loopEnd = 900;
    header.flags = sixteenBit | loop;
    ASSERT_EQ(Prepare(Bytes(11, 5)), ResultOk);  // five whole 16-bit frames
    EXPECT_EQ(header.length, 5u);
    EXPECT_EQ(header.loopEnd, 5u);
    EXPECT_EQ(header.flags & loop, loop);

    header = {};
    header.length = 0xFFFFFFFF;  // absurd: no allocation beyond the data
    ASSERT_EQ(Prepare({}), ResultOk);
    EXPECT_EQ(header.length, 0u);
    EXPECT_EQ(data, nullptr);
}

TEST_F(PrepareSampleTest, FixedLoopedBufferIsConvertedEveryTime) {
    header.flags = unsignedSource;
    header.flags2 = fixedLoopBuffer;
    header.length = 3;  // ignored: the buffer is always 65,536 frames
    ASSERT_EQ(Prepare(Bytes(100, 0x80)), ResultOk);
    EXPECT_EQ(header.length, 65536u);
    EXPECT_EQ(header.loopStart, 0u);
    EXPECT_EQ(header.loopEnd, 65536u);
    EXPECT_EQ(header.flags & unsignedSource, unsignedSource);
    EXPECT_EQ(header.flags2, fixedLoopBuffer);
    EXPECT_EQ(data[0], 0x00);      // converted from the file
    EXPECT_EQ(data[99], 0x00);
    EXPECT_EQ(data[100], 0x80);    // missing frames read as 0, then converted
    EXPECT_EQ(data[65536], 0x00);  // the tail loops back to the start
}

TEST_F(PrepareSampleTest, AllocationFailureLeavesNoBlock) {
    header.length = 16;
    test::FailingAllocator failing(1);
    EXPECT_EQ(Prepare(Bytes(16, 1)), ResultNoSampleMemory);
    EXPECT_EQ(data, nullptr);
}

TEST_F(PrepareSampleTest, StereoScratchFailureIsReported) {
    header.length = 4;
    header.flags = stereoSource;
    test::FailingAllocator failing(2);
    EXPECT_EQ(Prepare(Bytes(4, 1)), ResultNoSampleMemory);
}

// A source encoding comes as a value with its own source of bytes (as a decoder serves them):
// the conversion follows the value, and the header states only what a stored file keeps.
TEST_F(PrepareSampleTest, TheGivenEncodingDrivesTheConversionAndTheHeaderKeepsOnlyStoredFlags) {
    class Countdown final : public SampleSource {
    public:
        std::optional<std::uint64_t> BytesLeft() override { return std::nullopt; }
        void Read(std::span<std::uint8_t> bytes) override {
            for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i + 1);
            ++reads;
        }
        int reads = 0;
    } source;
    header.length = 4;
    ASSERT_EQ(PrepareSample(header, data, source, {.delta = true, .unsignedValues = true}), ResultOk);
    EXPECT_EQ(source.reads, 1);
    EXPECT_EQ(Elements(4), (Bytes{0x81, 0x83, 0x86, 0x8A}));  // 1, 3, 6, 10 with the sign flipped
    EXPECT_EQ(header.flags & (deltaSource | unsignedSource), 0);
    EXPECT_EQ(header.flags2, converted);

    // Without frames nothing is converted, and the header keeps stating the encoding.
    SampleHeader empty{};
    std::uint8_t* none = nullptr;
    ASSERT_EQ(PrepareSample(empty, none, source, {.unsignedValues = true}), ResultOk);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(empty.flags, unsignedSource);
    EXPECT_EQ(empty.flags2, 0);
}

}  // namespace
}  // namespace tunepak
