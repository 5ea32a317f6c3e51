// Packed modules written to files: each file replaced only once its new content is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "container/container.h"

namespace tunepak {

// Writes the header and the compressed bytes to the file `name`, which is replaced only once the
// new file is complete (an earlier file stays as it was when writing fails). False when it
// cannot be written.
bool WritePackedFile(const std::string& name, const PackedModule& packed);

// What became of packing an image into a file, and the file's size.
struct PackOutcome {
    enum Kind { packed, outOfMemory, cannotWrite } kind;
    std::uint64_t fileSize = 0;
};

// The compressed bytes that PackIntoFile holds at once.
inline constexpr std::size_t packingPiece = 256 * 1024;

// Compresses the image at zlib level 9 as PackModule does, to the same bytes, straight into the
// file `name` behind its header, `packingPiece` bytes at a time rather than in a buffer of the
// whole; the file is replaced as WritePackedFile replaces it.
PackOutcome PackIntoFile(std::span<const std::uint8_t> image, const std::string& name);

}  // namespace tunepak
