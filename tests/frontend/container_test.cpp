// The container reader against the writer: intact files unpack to the very image, and every kind
// of damage is found and named.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

#include <zlib.h>

#include "container.h"
#include "packed_files.h"
#include "program_runner.h"
#include "model/model.h"
#include "text_format.h"
#include "test_support.h"

namespace tunepak {
namespace {

using test::Bytes;

// An image that compresses, with some variety in it.
Bytes Image(std::size_t size) {
    Bytes image(size);
    for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>((i * i) >> 5);
    return image;
}

Bytes Packed(const Bytes& image) {
    PackedModule packed;
    EXPECT_TRUE(PackModule(image, packed));
    Bytes file(packed.FileSize());
    std::memcpy(file.data(), packed.header.data(), containerHeaderSize);
    std::memcpy(file.data() + containerHeaderSize, packed.compressed.data(),
                packed.compressedLength);
    return file;
}

void PutLe32(Bytes& file, std::size_t offset, std::uint32_t value) {
    WriteLe32(file.data() + offset, value);
}

std::vector<Damage> KindsOf(const UnpackedModule& unpacked) {
    std::vector<Damage> kinds;
    for (const DamageReport& report : unpacked.damage) kinds.push_back(report.kind);
    return kinds;
}

TEST(Container, IntactFilesUnpackToTheirImage) {
    // Empty, small, and larger than the first output block (so the output grows).
    for (const std::size_t size : {std::size_t{0}, std::size_t{4000}, std::size_t{300000}}) {
        const Bytes image = Image(size);
        const UnpackedModule unpacked = UnpackModule(Packed(image));
        EXPECT_TRUE(unpacked.Intact()) << size;
        EXPECT_EQ(unpacked.imageLength, size);
        EXPECT_EQ(test::Copy(unpacked.image.span().first(unpacked.imageLength)), image);
    }
}

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
    for (const Bytes& image : {Image(0), Image(4000), Image(300000), noise}) {
        const std::string name = (dir / "Song.vmz").string();
        const PackOutcome outcome = PackIntoFile(image, name);
        ASSERT_EQ(outcome.kind, PackOutcome::packed);
        const Bytes expected = Packed(image);
        EXPECT_EQ(outcome.fileSize, expected.size());
        std::ifstream in(name, std::ios::binary);
        const Bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        EXPECT_EQ(file, expected) << image.size();
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    }
}

struct DamageCase {
    const char* what;
    std::function<void(Bytes&)> damage;
    std::vector<Damage> expected;
    bool recovered;  // the image still inflates whole
};

TEST(Container, EveryKindOfDamageIsNamed) {
    const Bytes image = Image(5000);
    const Bytes good = Packed(image);
    const std::uint32_t length = ReadLe32(good.data() + 16);

    // A stream with bytes behind its end, in a header that is otherwise right.
    auto trailing = [](Bytes& file) {
        file.insert(file.end(), {1, 2, 3});
        const auto compressed = static_cast<std::uint32_t>(file.size() - 24);
        PutLe32(file, 8, static_cast<std::uint32_t>(file.size()));
        PutLe32(file, 16, compressed);
        PutLe32(file, 12, static_cast<std::uint32_t>(crc32(0, file.data() + 24, compressed)));
    };
    const std::vector<DamageCase> cases = {
        {"short", [](Bytes& f) { f.resize(23); }, {Damage::shortFile}, false},
        {"id", [](Bytes& f) { f[3] = 'F'; }, {Damage::id}, true},
        {"magic", [](Bytes& f) { f[7] = 0; }, {Damage::magic}, true},
        {"truncated",
         [](Bytes& f) { f.resize(f.size() / 2); },
         {Damage::truncated, Damage::streamTruncated},
         false},
        {"total", [](Bytes& f) { PutLe32(f, 8, 7); }, {Damage::totalLength}, true},
        {"compressed length",
         [&](Bytes& f) { PutLe32(f, 16, length - 10); },
         {Damage::compressedLength, Damage::crc, Damage::streamTruncated},
         false},
        {"crc", [](Bytes& f) { f[12] ^= 1; }, {Damage::crc}, true},
        {"stream", [](Bytes& f) { f[40] ^= 0xFF; }, {Damage::crc, Damage::streamCorrupt}, false},
        {"image longer", [](Bytes& f) { PutLe32(f, 20, 4999); }, {Damage::imageTooLong}, false},
        {"image shorter", [](Bytes& f) { PutLe32(f, 20, 5001); }, {Damage::imageTooShort}, true},
        {"extra bytes",
         [](Bytes& f) { f.push_back(0); },
         {Damage::totalLength, Damage::compressedLength},
         true},
        {"trailing", trailing, {Damage::streamTrailing}, true},
    };
    for (const DamageCase& c : cases) {
        Bytes file = good;
        c.damage(file);
        const UnpackedModule unpacked = UnpackModule(file);
        EXPECT_EQ(KindsOf(unpacked), c.expected) << c.what;
        EXPECT_FALSE(unpacked.Intact()) << c.what;
        for (const DamageReport& report : unpacked.damage) {
            EXPECT_FALSE(report.text.empty()) << c.what;
        }
        EXPECT_EQ(unpacked.recovered, c.recovered) << c.what;
        if (c.recovered) {
            EXPECT_EQ(test::Copy(unpacked.image.span().first(unpacked.imageLength)), image)
                << c.what;
        }
    }
}

TEST(Container, DamageTextsGiveTheFigures) {
    Bytes file = Packed(Image(100));
    file[2] = 0x01;
    PutLe32(file, 20, 150);
    const UnpackedModule unpacked = UnpackModule(file);
    ASSERT_EQ(unpacked.damage.size(), 2u);
    EXPECT_EQ(unpacked.damage[0].text, "magic is \"MU\\x01E\", not \"MUSE\"");
    EXPECT_EQ(unpacked.damage[1].text, "image is 100 bytes, the header says 150");
}

// Records the blocks asked of the service table.
std::vector<std::size_t> allocations;
void* RecordingAllocate(std::size_t size) {
    allocations.push_back(size);
    return std::malloc(size);
}

// Unpacks with the service table's allocations recorded.
UnpackedModule UnpackRecorded(const Bytes& file) {
    const auto allocate = services.allocate;
    services.allocate = RecordingAllocate;
    allocations.clear();
    UnpackedModule unpacked = UnpackModule(file);
    services.allocate = allocate;
    return unpacked;
}

TEST(Container, TheImageIsAllocatedOnceAtTheLengthTheStreamDelivers) {
    const UnpackedModule intact = UnpackRecorded(Packed(Image(300000)));
    EXPECT_TRUE(intact.Intact());
    EXPECT_EQ(allocations, std::vector<std::size_t>{300000});

    // A header that claims 64 MB for 1,000 bytes costs only the 1,000 bytes.
    Bytes file = Packed(Image(1000));
    PutLe32(file, 20, 64 << 20);
    const UnpackedModule unpacked = UnpackRecorded(file);
    EXPECT_EQ(KindsOf(unpacked), std::vector<Damage>{Damage::imageTooShort});
    EXPECT_EQ(unpacked.imageLength, 1000u);
    EXPECT_EQ(allocations, std::vector<std::size_t>{1000});
}

// A packed file of 1 MB whose stream inflates to 158 MB: past the 96 MB that a file of its size
// may unpack to. Stating the length it has, it is damaged without a byte inflated; stating less,
// inflating stops one byte past the stated length.
TEST(Container, ADecompressionBombIsDamagedWithinTheBound) {
    const auto [stream, inflated] = test::DecompressionBomb(1 << 20);
    ASSERT_GT(inflated, std::uint64_t{158} << 20);
    {
        Bytes sample = stream;  // the stream is sound: its first megabyte is silence
        z_stream z{};
        ASSERT_EQ(inflateInit(&z), Z_OK);
        Bytes out(1 << 20, 0xFF);
        z.next_in = sample.data();
        z.avail_in = static_cast<uInt>(sample.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        EXPECT_EQ(inflate(&z, Z_NO_FLUSH), Z_OK);
        inflateEnd(&z);
        EXPECT_EQ(out, Bytes(1 << 20, 0));
    }

    const Bytes bomb = test::PackedStream(stream, static_cast<std::uint32_t>(inflated));
    const UnpackedModule unpacked = UnpackRecorded(bomb);
    EXPECT_EQ(KindsOf(unpacked), std::vector<Damage>{Damage::imageBeyondBound});
    ASSERT_EQ(unpacked.damage.size(), 1u);
    EXPECT_EQ(unpacked.damage[0].text,
              Format("stated image of %llu bytes is more than the %llu bytes that a packed file "
                     "of %zu bytes may hold",
                     static_cast<unsigned long long>(inflated),
                     static_cast<unsigned long long>(SampleBytesBound(bomb.size())), bomb.size()));
    EXPECT_FALSE(unpacked.recovered);
    EXPECT_TRUE(allocations.empty());

    const UnpackedModule understated = UnpackRecorded(test::PackedStream(stream, 50 << 20));
    EXPECT_EQ(KindsOf(understated), std::vector<Damage>{Damage::imageTooLong});
    EXPECT_TRUE(allocations.empty());
}

TEST(Container, OutOfMemoryIsNotDamage) {
    const Bytes file = Packed(Image(1000));
    test::FailingAllocator failing(1);
    const UnpackedModule unpacked = UnpackModule(file);
    EXPECT_TRUE(unpacked.outOfMemory);
    EXPECT_FALSE(unpacked.recovered);
    EXPECT_TRUE(unpacked.damage.empty());
}

}  // namespace
}  // namespace tunepak
