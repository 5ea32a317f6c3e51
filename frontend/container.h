// The packed module container: a 24-byte "MUSE" header and the AM image compressed with zlib.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "io/endian.h"
#include "io/services.h"

namespace tunepak {

inline constexpr std::size_t containerHeaderSize = 24;

// The header as it lies at the start of a packed file.
struct ContainerHeader {
    std::array<char, 4> id{};             // "MUSE"
    std::array<std::uint8_t, 4> magic{};  // DE AD BA BE
    Le32 totalLength;                     // header and compressed bytes
    Le32 crc;                             // CRC-32 of the compressed bytes
    Le32 compressedLength;                // the bytes behind the header
    Le32 imageLength;                     // the AM image, uncompressed
};
static_assert(sizeof(ContainerHeader) == containerHeaderSize);

inline constexpr std::array<char, 4> containerId = {'M', 'U', 'S', 'E'};
inline constexpr std::array<std::uint8_t, 4> containerMagic = {0xDE, 0xAD, 0xBA, 0xBE};

// A packed image ready to be written: the header, then the compressed bytes.
struct PackedModule {
    std::array<std::uint8_t, containerHeaderSize> header{};
    WorkBuffer compressed;  // capacity S x 104 / 100 + 256
    std::size_t compressedLength = 0;

    std::size_t FileSize() const { return containerHeaderSize + compressedLength; }
};

// The compressed buffer's capacity for an image of `imageSize` bytes.
constexpr std::size_t CompressedCapacity(std::size_t imageSize) {
    return imageSize * 104 / 100 + 256;
}

// Compresses the image at zlib level 9 and builds the header. False when a buffer cannot be
// allocated or zlib fails.
bool PackModule(std::span<const std::uint8_t> image, PackedModule& packed);

// Writes the header and the compressed bytes to the file `name`, which is replaced only once the
// new file is complete (an earlier file stays as it was when writing fails). False when it
// cannot be written.
bool WritePackedFile(const std::string& name, const PackedModule& packed);

// Whether a file that begins with `head` is a packed module: "MUSE" and the magic bytes.
bool StartsAsPackedModule(std::span<const std::uint8_t> head);

// What became of packing an image into a file, and the file's size.
struct PackOutcome {
    enum Kind { packed, outOfMemory, cannotWrite } kind;
    std::uint64_t fileSize = 0;
};

// The compressed bytes of one image that a file can state: its length field holds them and the
// header.
inline constexpr std::uint64_t largestPackedLength = 0xFFFFFFFFu - containerHeaderSize;

// The compressed bytes that PackIntoFile holds at once.
inline constexpr std::size_t packingPiece = 256 * 1024;

// Compresses the image at zlib level 9 as PackModule does, to the same bytes, straight into the
// file `name` behind its header, `packingPiece` bytes at a time rather than in a buffer of the
// whole; the file is replaced as WritePackedFile replaces it.
PackOutcome PackIntoFile(std::span<const std::uint8_t> image, const std::string& name);

// The header's part of packing: the lengths and the CRC-32 of the `compressedLength` bytes in
// `packed.compressed`, the compressed form of an image of `imageSize` bytes.
void SealPackedModule(PackedModule& packed, std::size_t imageSize);

// --- Reading a packed file back -------------------------------------------------------------

// What can be wrong with a packed file, in the order in which the checks find it.
enum class Damage {
    shortFile,         // fewer bytes than the header
    id,                // bytes 0..3 are not "MUSE"
    magic,             // bytes 4..7 are not DE AD BA BE
    truncated,         // the two length fields agree, the file ends before they say
    totalLength,       // the total length field does not match the file size
    compressedLength,  // the compressed length field does not match the bytes behind the header
    crc,               // the CRC-32 of the compressed bytes differs from the header's
    imageBeyondBound,  // the stated image length is more than a file of this size may unpack to
    streamCorrupt,     // zlib finds the compressed stream invalid
    streamTruncated,   // the compressed bytes end before the stream does
    streamTrailing,    // bytes follow the end of the compressed stream
    imageTooLong,      // inflating gives more than the stated image length
    imageTooShort,     // inflating gives less than the stated image length
};

struct DamageReport {
    Damage kind;
    std::string text;  // what is wrong, for people
};

struct UnpackedModule {
    ContainerHeader header;  // as read (zero where the file is too short)
    std::uint64_t fileSize = 0;
    std::uint32_t actualCrc = 0;       // of the compressed bytes present, up to the stated length
    std::vector<DamageReport> damage;  // empty: the file is intact
    bool outOfMemory = false;
    // The image, when the compressed stream inflated to its end (zlib's own checksum passed)
    // without going beyond the stated image length: whole even if the header is damaged.
    WorkBuffer image;
    std::size_t imageLength = 0;
    bool recovered = false;

    bool Intact() const { return damage.empty() && !outOfMemory && recovered; }
    bool Has(Damage kind) const;
};

// Checks a packed file held in memory and inflates its image. A packed file unpacks to no more
// than the converter lets the model of a source of its size hold in samples (SampleBytesBound):
// a stated image length beyond that is damage, and nothing is inflated. Within it, the image is
// allocated once, at the length that the stream has been found to deliver, so a header that
// claims a large image costs nothing until the data bears it out.
UnpackedModule UnpackModule(std::span<const std::uint8_t> file);

}  // namespace tunepak
