// Packed files written straight to disk against the packing in memory.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "container_file.h"
#include "packed_files.h"
#include "program_runner.h"
#include "test_support.h"

namespace tunepak {
namespace {

using test::Bytes;
using test::PackedFile;
using test::VariedImage;

// Packing straight into a file gives PackModule's bytes, however many pieces the compressed
// stream takes, and leaves no other file.
TEST(Container, PackingIntoAFileGivesTheSameBytes) {
    namespace fs = std::filesystem;
    const test::TemporaryDirectory temporary;
    const fs::path& dir = temporary.path();
    Bytes noise(3 * packingPiece);  // compresses to more than two pieces
    std::uint32_t state = 1;
    for (std::uint8_t& byte : noise) {
        state = state * 69069 + 1;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    for (const Bytes& image : {VariedImage(0), VariedImage(4000), VariedImage(300000), noise}) {
        const std::string name = (dir / "Song.vmz").string();
        const PackOutcome outcome = PackIntoFile(image, name);
        ASSERT_EQ(outcome.kind, PackOutcome::packed);
        const Bytes expected = PackedFile(image);
        EXPECT_EQ(outcome.fileSize, expected.size());
        std::ifstream in(name, std::ios::binary);
        const Bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        EXPECT_EQ(file, expected) << image.size();
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    }
}

}  // namespace
}  // namespace tunepak
