#include "io/services.h"

#include <array>

#include "test_support.h"

namespace tunepak {
namespace {

class MemoryStreamTest : public ::testing::Test {
protected:
    void TearDown() override { InstallStreams(StreamFile, nullptr); }
    std::array<std::uint8_t, 64> block{};
};

TEST_F(MemoryStreamTest, WriteAdvancesByItemsTimesSize) {
    void* stream = InstallStreams(StreamMemory, block.data());
    ASSERT_EQ(stream, &memoryStream);
    const std::uint32_t items[3] = {0x04030201, 0x08070605, 0x0C0B0A09};
    EXPECT_EQ(services.write(items, 4, 3, stream), 3u);
    EXPECT_EQ(services.tell(stream), 12);
    EXPECT_EQ(block[0], 1);
    EXPECT_EQ(block[11], 12);
}

TEST_F(MemoryStreamTest, SeekBackAfterAProbeReturnsToTheStart) {
    void* stream = InstallStreams(StreamMemory, block.data());
    std::array<std::uint8_t, 48> probe{};
    EXPECT_EQ(services.read(probe.data(), 1, 48, stream), 48u);
    EXPECT_EQ(services.seek(stream, -48, 1), 0);
    EXPECT_EQ(services.tell(stream), 0);
}

TEST_F(MemoryStreamTest, UnknownOriginFailsAndKeepsThePosition) {
    void* stream = InstallStreams(StreamMemory, block.data());
    services.seek(stream, 5, 0);
    EXPECT_EQ(services.seek(stream, 0, 2), 1);
    EXPECT_EQ(services.tell(stream), 5);
    EXPECT_FALSE(BytesLeft(stream).has_value());  // a memory block has no known end
}

TEST_F(MemoryStreamTest, BothModeBitsInstallMemoryMode) {
    void* stream = InstallStreams(StreamFile | StreamMemory, block.data());
    EXPECT_EQ(stream, &memoryStream);
    EXPECT_EQ(services.read, &MemoryRead);
}

TEST(FileStream, ShortReadsLeaveZerosAndTheEndIsKnown) {
    InstallStreams(StreamFile, nullptr);
    const test::Bytes bytes = {1, 2, 3, 4, 5};
    test::MemoryFile file(bytes);
    std::array<std::uint8_t, 4> first{};
    EXPECT_EQ(ReadBytes(file.get(), first), 4u);
    EXPECT_EQ(BytesLeft(file.get()), 1u);
    std::array<std::uint8_t, 4> second = {9, 9, 9, 9};
    EXPECT_EQ(ReadBytes(file.get(), second), 1u);
    EXPECT_EQ(second, (std::array<std::uint8_t, 4>{5, 0, 0, 0}));
    EXPECT_EQ(ReadU32Le(file.get()), 0u);
}

TEST(FileStream, SeeksPastTheEndAndInBigSteps) {
    InstallStreams(StreamFile, nullptr);
    const test::Bytes bytes(16, 7);
    test::MemoryFile file(bytes);
    ReadU8(file.get());
    // A distance that does not fit a signed 32-bit offset still moves forward (where a long has
    // 32 bits, the stream cannot tell that position, but comes back from it all the same).
    EXPECT_TRUE(SeekBy(file.get(), 0x80000004LL));
    EXPECT_EQ(ReadU8(file.get()), 0);
    if constexpr (sizeof(long) >= 8) {
        EXPECT_EQ(Position(file.get()), 0x80000005u);
    }
    EXPECT_TRUE(SeekBy(file.get(), -0x80000000LL));
    EXPECT_EQ(Position(file.get()), 5u);

    // A position the seek slot cannot name lies past the end: nothing more is read.
    EXPECT_FALSE(SeekTo(file.get(), 0x100000000u));
    EXPECT_EQ(ReadU8(file.get()), 0);
    EXPECT_TRUE(SeekTo(file.get(), 3));
    EXPECT_EQ(ReadU8(file.get()), 7);
}

TEST(FileStream, NothingIsLeftFarPastTheEnd) {
    // Found by fuzzing XM: header sizes moved the stream more than 2 GB past the end, where the
    // end could no longer be measured, and a sample then claimed its whole declared length.
    InstallStreams(StreamFile, nullptr);
    const test::Bytes bytes(16, 7);
    test::MemoryFile file(bytes);
    ASSERT_TRUE(SeekBy(file.get(), 0x90000000LL));
    EXPECT_EQ(BytesLeft(file.get()), 0u);
    if constexpr (sizeof(long) >= 8) {
        EXPECT_EQ(Position(file.get()), 0x90000000u);  // measuring does not move the stream
    } else {
        // A 32-bit tell cannot name the position: the stream is left at its end instead.
        EXPECT_EQ(Position(file.get()), 16u);
    }
    EXPECT_EQ(ReadU8(file.get()), 0);
    EXPECT_TRUE(SeekTo(file.get(), 10));
    EXPECT_EQ(BytesLeft(file.get()), 6u);
}

TEST(FileStream, TablesOfLittleEndianValuesAreReadWholeAndEndInZeros) {
    InstallStreams(StreamFile, nullptr);
    test::MemoryFile file(test::Bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09});
    std::array<std::uint16_t, 3> words{};
    ReadLe16s(file.get(), words);
    EXPECT_EQ(words, (std::array<std::uint16_t, 3>{0x0201, 0x0403, 0x0605}));
    std::array<std::uint32_t, 2> longs = {7, 7};
    ReadLe32s(file.get(), longs);  // three bytes left: the rest reads as 0
    EXPECT_EQ(longs, (std::array<std::uint32_t, 2>{0x00090807, 0}));
}

// A seek slot that counts its calls, around the file-mode one.
int seekCalls = 0;
int CountingSeek(void* stream, std::int32_t offset, int origin) {
    ++seekCalls;
    return FileSeek(stream, offset, origin);
}

TEST(KnownStreamEndTest, BytesLeftTakesTheEndWithoutSeekingAndAgreesWithMeasuring) {
    InstallStreams(StreamFile, nullptr);
    const test::Bytes bytes(40, 3);
    test::MemoryFile file(bytes);
    services.seek = CountingSeek;
    {
        const KnownStreamEnd end(file.get());
        EXPECT_EQ(BytesLeft(file.get()), 40u);  // measured here, once
        seekCalls = 0;
        for (const std::uint64_t position : {0u, 1u, 39u, 40u, 41u, 1000u}) {
            FileSeek(file.get(), static_cast<std::int32_t>(position), 0);
            EXPECT_EQ(BytesLeft(file.get()), position < 40 ? 40 - position : 0) << position;
            EXPECT_EQ(Position(file.get()), position);
        }
        EXPECT_EQ(seekCalls, 0);

        // Another stream, or the memory stream that stands in during a load, is measured.
        test::MemoryFile other(test::Bytes(5, 1));
        EXPECT_EQ(BytesLeft(other.get()), 5u);
        std::array<std::uint8_t, 8> block{};
        void* memory = InstallStreams(StreamMemory, block.data());
        EXPECT_FALSE(BytesLeft(memory).has_value());
        InstallStreams(StreamFile, nullptr);
    }
    // Once it is gone, the end is measured again: the stream may have grown meanwhile.
    std::fseek(file.get(), 0, SEEK_END);
    std::fputc(9, file.get());
    std::fseek(file.get(), 0, SEEK_SET);
    EXPECT_EQ(BytesLeft(file.get()), 41u);
    services = {services.allocate, services.reallocate, services.release, FileSeek,
                FileRead, FileWrite, FileTell};
}

TEST(KnownStreamEndTest, AStreamWithoutAKnownEndStaysSo) {
    std::array<std::uint8_t, 8> block{};
    void* memory = InstallStreams(StreamMemory, block.data());
    {
        const KnownStreamEnd end(memory);
        EXPECT_FALSE(BytesLeft(memory).has_value());
    }
    InstallStreams(StreamFile, nullptr);
}

TEST(WorkBufferTest, IsZeroFilledAndReleasedThroughTheTable) {
    const ServiceTable saved = services;
    static int releases = 0;
    releases = 0;
    services.release = [](void* block) {
        ++releases;
        std::free(block);
    };
    {
        WorkBuffer buffer(16);
        ASSERT_TRUE(buffer);
        for (std::uint8_t byte : buffer.span()) EXPECT_EQ(byte, 0);
        WorkBuffer moved = std::move(buffer);
        EXPECT_FALSE(buffer);
    }
    EXPECT_EQ(releases, 1);
    services = saved;
}

}  // namespace
}  // namespace tunepak
