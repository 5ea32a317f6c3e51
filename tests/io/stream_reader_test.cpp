#include "io/stream_reader.h"

#include <array>
#include <numeric>

#include "test_support.h"

namespace tunepak {
namespace {

// A file of the bytes 0, 1, 2, ... `size` - 1, read in file mode.
class StreamReaderTest : public ::testing::Test {
protected:
    void SetUp() override { InstallStreams(StreamFile, nullptr); }

    static test::Bytes Counting(std::size_t size) {
        test::Bytes bytes(size);
        std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
        return bytes;
    }
};

TEST_F(StreamReaderTest, PlacesCountFromWhereTheModuleStarts) {
    test::MemoryFile file(Counting(64));
    ASSERT_TRUE(SeekTo(file.get(), 4));
    StreamReader reader(file.get());
    EXPECT_EQ(reader.origin(), 4u);
    EXPECT_EQ(reader.Offset(), 0u);

    ASSERT_TRUE(reader.Seek(2));
    EXPECT_EQ(reader.U8(), 6);
    EXPECT_EQ(reader.Offset(), 3u);
    ASSERT_TRUE(reader.SeekParagraph(2));
    EXPECT_EQ(reader.U16(), 0x2524);
    ASSERT_TRUE(reader.Skip(-4));
    EXPECT_EQ(reader.U32(), 0x25242322u);

    std::array<std::uint8_t, 3> record{};
    EXPECT_EQ(reader.ReadAt(10, record), 3u);
    EXPECT_EQ(record, (std::array<std::uint8_t, 3>{14, 15, 16}));
    EXPECT_EQ(reader.BytesLeft(), 64u - 17u);
}

TEST_F(StreamReaderTest, APlaceOutOfReachLeavesTheReaderAtTheEndWhereEverythingReadsAsZero) {
    test::MemoryFile file(Counting(16));
    StreamReader reader(file.get());
    EXPECT_FALSE(reader.Seek(0x100000000u));
    EXPECT_EQ(reader.BytesLeft(), 0u);
    EXPECT_EQ(reader.U8(), 0);

    std::array<std::uint8_t, 4> record = {9, 9, 9, 9};
    EXPECT_EQ(reader.ReadAt(0x100000000u, record), 0u);
    EXPECT_EQ(record, (std::array<std::uint8_t, 4>{}));
    using Record = std::array<std::uint8_t, 2>;
    EXPECT_EQ(reader.ReadAt<Record>(0x100000000u), (Record{}));
    EXPECT_EQ(reader.ReadAt<Record>(7), (Record{7, 8}));

    // A skip before the start fails too, and reads nothing from where it was.
    ASSERT_TRUE(reader.Seek(2));
    EXPECT_FALSE(reader.Skip(-3));
    EXPECT_EQ(reader.U8(), 0);

    // Every place within reach is found again afterwards.
    ASSERT_TRUE(reader.Seek(5));
    EXPECT_EQ(reader.U8(), 5);
}

TEST_F(StreamReaderTest, PeekingReadsWithoutMovingAndEndsInZeros) {
    test::MemoryFile file(Counting(6));
    StreamReader reader(file.get());
    ASSERT_TRUE(reader.Seek(3));
    std::array<std::uint8_t, 5> bytes = {9, 9, 9, 9, 9};
    ASSERT_TRUE(reader.Peek(bytes));
    EXPECT_EQ(bytes, (std::array<std::uint8_t, 5>{3, 4, 5, 0, 0}));
    EXPECT_EQ(reader.Offset(), 3u);
    EXPECT_EQ(reader.U8(), 3);
}

TEST_F(StreamReaderTest, OffsetTablesKeepWhatFitsAndPassOverTheRest) {
    test::ByteWriter w;
    w.U32(10).U32(11).U32(12).U32(13).U32(14).U8(0xEE);
    test::MemoryFile file(w.bytes());
    StreamReader reader(file.get());

    std::array<std::uint32_t, 3> table{};
    ASSERT_TRUE(reader.ReadTable(table, 5));
    EXPECT_EQ(table, (std::array<std::uint32_t, 3>{10, 11, 12}));
    EXPECT_EQ(reader.U8(), 0xEE);

    // A shorter table leaves the entries it does not name at 0.
    ASSERT_TRUE(reader.Seek(0));
    table = {7, 7, 7};
    ASSERT_TRUE(reader.ReadTable(table, 2));
    EXPECT_EQ(table, (std::array<std::uint32_t, 3>{10, 11, 0}));
    EXPECT_EQ(reader.U32(), 12u);

    std::array<std::uint16_t, 2> words{};
    reader.ReadTable(words);
    EXPECT_EQ(words, (std::array<std::uint16_t, 2>{13, 0}));
}

}  // namespace
}  // namespace tunepak
