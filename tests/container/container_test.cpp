// The container reader against the writer: intact files unpack to the very image, and every kind
// of damage is found and named.

#include <cstddef>
#include <cstdlib>
#include <functional>
#include <vector>

#include <zlib.h>

#include "container/container.h"
#include "io/text_format.h"
#include "model/model.h"
#include "packed_files.h"
#include "test_support.h"

namespace tunepak {
namespace {

using test::Bytes;
using test::compressedLengthAt;
using test::crcAt;
using test::imageLengthAt;
using test::totalLengthAt;
using test::PackedFile;
using test::VariedImage;

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
        const Bytes image = VariedImage(size);
        const UnpackedModule unpacked = UnpackModule(PackedFile(image));
        EXPECT_TRUE(unpacked.Intact()) << size;
        EXPECT_EQ(unpacked.imageLength, size);
        EXPECT_EQ(test::Copy(unpacked.image.span().first(unpacked.imageLength)), image);
    }
}

struct DamageCase {
    const char* what;
    std::function<void(Bytes&)> damage;
    std::vector<Damage> expected;
    bool recovered;  // the image still inflates whole
};

TEST(Container, EveryKindOfDamageIsNamed) {
    const Bytes image = VariedImage(5000);
    const Bytes good = PackedFile(image);
    const std::uint32_t length = ReadLe32(good.data() + compressedLengthAt);

    // A stream with bytes behind its end, in a header that is otherwise right.
    auto trailing = [](Bytes& file) {
        file.insert(file.end(), {1, 2, 3});
        const auto compressed = static_cast<std::uint32_t>(file.size() - containerHeaderSize);
        PutLe32(file, totalLengthAt, static_cast<std::uint32_t>(file.size()));
        PutLe32(file, compressedLengthAt, compressed);
        PutLe32(file, crcAt,
                static_cast<std::uint32_t>(
                    crc32(0, file.data() + containerHeaderSize, compressed)));
    };
    const std::vector<DamageCase> cases = {
        {"short", [](Bytes& f) { f.resize(containerHeaderSize - 1); }, {Damage::shortFile}, false},
        {"id", [](Bytes& f) { f[3] = 'F'; }, {Damage::id}, true},
        {"magic", [](Bytes& f) { f[7] = 0; }, {Damage::magic}, true},
        {"truncated",
         [](Bytes& f) { f.resize(f.size() / 2); },
         {Damage::truncated, Damage::streamTruncated},
         false},
        {"total", [](Bytes& f) { PutLe32(f, totalLengthAt, 7); }, {Damage::totalLength}, true},
        {"compressed length",
         [&](Bytes& f) { PutLe32(f, compressedLengthAt, length - 10); },
         {Damage::compressedLength, Damage::crc, Damage::streamTruncated},
         false},
        {"crc", [](Bytes& f) { f[crcAt] ^= 1; }, {Damage::crc}, true},
        {"stream", [](Bytes& f) { f[40] ^= 0xFF; }, {Damage::crc, Damage::streamCorrupt}, false},
        {"image longer",
         [](Bytes& f) { PutLe32(f, imageLengthAt, 4999); },
         {Damage::imageTooLong},
         false},
        {"image shorter",
         [](Bytes& f) { PutLe32(f, imageLengthAt, 5001); },
         {Damage::imageTooShort},
         true},
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
    Bytes file = PackedFile(VariedImage(100));
    file[2] = 0x01;
    PutLe32(file, imageLengthAt, 150);
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
    const UnpackedModule intact = UnpackRecorded(PackedFile(VariedImage(300000)));
    EXPECT_TRUE(intact.Intact());
    EXPECT_EQ(allocations, std::vector<std::size_t>{300000});

    // A header that claims 64 MB for 1,000 bytes costs only the 1,000 bytes.
    Bytes file = PackedFile(VariedImage(1000));
    PutLe32(file, imageLengthAt, 64 << 20);
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
    const Bytes file = PackedFile(VariedImage(1000));
    test::FailingAllocator failing(1);
    const UnpackedModule unpacked = UnpackModule(file);
    EXPECT_TRUE(unpacked.outOfMemory);
    EXPECT_FALSE(unpacked.recovered);
    EXPECT_TRUE(unpacked.damage.empty());
}

}  // namespace
}  // namespace tunepak
