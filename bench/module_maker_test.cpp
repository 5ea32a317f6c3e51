// The generated benchmark inputs are what they claim to be: each module loads whole, and the IT
// compressor's blocks decode to the frames it was given.

#include "module_maker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "io/memory_file.h"
#include "io/services.h"
#include "loaders/it_compression.h"
#include "loaders/formats.h"
#include "loaders/loaders.h"
#include "model/player.h"

namespace tunepak::bench {
namespace {

// A small shape, so that every format's limits and every sample kind still show.
constexpr Shape smallShape = {.patterns = 5, .channels = 6, .samples = 7, .frames = 3000};

int LoadBytes(const Bytes& module) {
    const UniqueFile file = OpenMemoryFile(module);
    return file ? LoadModule(file.get(), StreamFile) : -1;
}

class GeneratedModule : public ::testing::TestWithParam<Format> {
protected:
    void SetUp() override { ReleaseModule(); }
    void TearDown() override { ReleaseModule(); }
};

TEST_P(GeneratedModule, LoadsWithEveryPatternAndSample) {
    const Format format = GetParam();
    ASSERT_EQ(LoadBytes(MakeModule(format, smallShape)), ResultOk);
    const Expected expected = ExpectedContents(format, smallShape);
    int patterns = 0;
    for (const PatternSlot& slot : patternTable) patterns += slot.data != nullptr ? 1 : 0;
    int samples = 0;
    for (const InstrumentSlot& slot : instrumentTable) {
        if (!IsInstrumentBlock(slot.block)) continue;
        for (std::size_t k = 0; k < RecordOf(slot.block).sampleCount; ++k) {
            if (slot.sampleData[k] != nullptr && SampleOf(slot.block, k).length > 0) ++samples;
        }
    }
    EXPECT_EQ(patterns, expected.patterns);
    EXPECT_EQ(samples, expected.samples);
    EXPECT_GT(song.channelCount, 1);
}

INSTANTIATE_TEST_SUITE_P(AllFormats, GeneratedModule, ::testing::ValuesIn(allFormats),
                         [](const ::testing::TestParamInfo<Format>& param) {
                             std::string name(FormatName(param.param));
                             std::erase(name, ' ');
                             return name == "669" ? std::string("S669") : name;
                         });

// The benchmarks cover every format of the registry, and each module is detected as its own.
TEST(GeneratedModules, CoverEveryRegisteredFormatAndAreDetectedAsIt) {
    for (const SourceFormat& source : sourceFormats) {
        EXPECT_TRUE(std::any_of(allFormats.begin(), allFormats.end(),
                                [&](Format format) { return &SourceOf(format) == &source; }))
            << source.name << " has no generated module";
    }
    for (const Format format : allFormats) {
        const Bytes module = MakeModule(format, smallShape);
        std::array<std::uint8_t, probeSize> probe{};
        std::copy_n(module.begin(), std::min(module.size(), probe.size()), probe.begin());
        EXPECT_EQ(&ChooseFormat(probe), &SourceOf(format)) << FormatName(format);
    }
}

// Decodes a compressed sample block by block.
Bytes Decompress(const Bytes& compressed, std::size_t bytes, std::uint32_t width,
                 bool doubleDelta) {
    Bytes decoded(bytes, 0xEE);
    std::size_t at = 0;
    for (std::size_t done = 0; done < bytes;) {
        if (at + 2 > compressed.size()) break;
        const std::size_t length = compressed[at] | (compressed[at + 1] << 8);
        const std::size_t now = std::min<std::size_t>(0x8000, bytes - done);
        DecodeCompressedBlock(std::span(compressed).subspan(at + 2, length),
                              std::span(decoded).subspan(done, now), width, doubleDelta);
        at += 2 + length;
        done += now;
    }
    EXPECT_EQ(at, compressed.size());
    return decoded;
}

TEST(ItCompressor, BlocksDecodeToTheFramesInBothVariantsAndWidths) {
    for (const std::uint32_t width : {1u, 2u}) {
        for (const bool doubleDelta : {false, true}) {
            SCOPED_TRACE(testing::Message() << "width " << width << " double " << doubleDelta);
            // Three blocks, the last one short.
            const Bytes frames = SampleFrames(0x8000 / width * 2 + 1234, width, 3);
            const Bytes compressed = CompressItSample(frames, width, doubleDelta);
            EXPECT_EQ(Decompress(compressed, frames.size(), width, doubleDelta), frames);
            // The bit width follows the deltas: far fewer bits than the widest width needs.
            EXPECT_LT(compressed.size(), frames.size());
        }
    }
}

TEST(ItCompressor, ValuesThatJumpAcrossTheWholeRangeDecode) {
    // Alternating extremes with small steps between them: every width and every kind of width
    // change, including the values that sit where the change markers lie.
    for (const std::uint32_t width : {1u, 2u}) {
        Bytes frames;
        const int top = width == 2 ? 32767 : 127;
        for (int i = 0; i < 5000; ++i) {
            const int value =
                (i % 7 == 0) ? (i % 2 ? top : -top - 1) : (i * 37 % (2 * top)) - top + (i % 5);
            frames.push_back(static_cast<std::uint8_t>(value));
            if (width == 2) frames.push_back(static_cast<std::uint8_t>(value >> 8));
        }
        for (const bool doubleDelta : {false, true}) {
            const Bytes compressed = CompressItSample(frames, width, doubleDelta);
            EXPECT_EQ(Decompress(compressed, frames.size(), width, doubleDelta), frames)
                << "width " << width << " double " << doubleDelta;
        }
    }
}

// A prepared sample's whole block: its frames and the run-out tail behind them.
Bytes PreparedBlock(const InstrumentSlot& slot) {
    const SampleHeader& header = SampleOf(slot.block, 0);
    std::size_t tail = 31;
    if ((header.flags & loop) && (header.flags & pingPong)) {
        tail += header.loopEnd - header.loopStart;
    }
    const std::size_t bytes = (header.length + tail) * SampleWidth(header);
    return Bytes(slot.sampleData[0], slot.sampleData[0] + bytes);
}

std::vector<Bytes> PreparedBlocks() {
    std::vector<Bytes> blocks;
    for (const InstrumentSlot& slot : instrumentTable) {
        if (IsInstrumentBlock(slot.block)) blocks.push_back(PreparedBlock(slot));
    }
    return blocks;
}

// The IT loader gives the same blocks, loops and tails included, whether a module's samples are
// stored plain or compressed, and whether it loads from a file or from memory.
TEST(ItCompressor, CompressedModuleLoadsTheSameSamplesAsThePlainOne) {
    ReleaseModule();
    ASSERT_EQ(LoadBytes(MakeModule(Format::it, smallShape)), ResultOk);
    const std::vector<Bytes> plain = PreparedBlocks();
    ReleaseModule();
    ASSERT_EQ(plain.size(), static_cast<std::size_t>(smallShape.samples));

    const Bytes compressed = MakeModule(Format::itCompressed, smallShape);
    ASSERT_EQ(LoadBytes(compressed), ResultOk);
    EXPECT_EQ(PreparedBlocks(), plain);
    ReleaseModule();

    Bytes inMemory = compressed;
    ASSERT_EQ(LoadModule(inMemory.data(), StreamMemory), ResultOk);
    EXPECT_EQ(PreparedBlocks(), plain);
    ReleaseModule();
    InstallStreams(StreamFile, nullptr);
}

}  // namespace
}  // namespace tunepak::bench
