#include "container_file.h"

#include <zlib.h>

#include "platform.h"

namespace tunepak {

namespace {

// Ends the deflater on every exit.
struct Deflater {
    z_stream stream{};
    bool open = false;
    Deflater() {
        open = deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) ==
               Z_OK;
    }
    ~Deflater() {
        if (open) deflateEnd(&stream);
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
};

}  // namespace

PackOutcome PackIntoFile(std::span<const std::uint8_t> image, const std::string& name) {
    Deflater deflater;
    WorkBuffer piece(packingPiece, WorkBuffer::Fill::none);
    if (!deflater.open || !piece) return {PackOutcome::outOfMemory};
    z_stream& z = deflater.stream;
    z.next_in = const_cast<Bytef*>(image.data());
    z.avail_in = static_cast<uInt>(image.size());  // an image is at most 4 GB - 1 bytes

    platform::ReplacingFile file(name);
    bool written = file.Write(BytesOf(ContainerHeader{}));  // a place for the header, filled last
    std::uint64_t length = 0;
    uLong crc = crc32(0L, nullptr, 0);
    int result = Z_OK;
    while (result == Z_OK && written) {
        z.next_out = piece.data();
        z.avail_out = static_cast<uInt>(piece.size());
        result = deflate(&z, Z_FINISH);
        const std::size_t produced = piece.size() - z.avail_out;
        crc = crc32(crc, piece.data(), static_cast<uInt>(produced));
        length += produced;
        written = file.Write(piece.span().first(produced));
    }
    if (!written) return {PackOutcome::cannotWrite};
    if (result != Z_STREAM_END || length > largestPackedLength) return {PackOutcome::outOfMemory};
    const ContainerHeader header = SealedHeader(static_cast<std::size_t>(length),
                                                static_cast<std::uint32_t>(crc), image.size());
    if (!file.WriteAt(0, BytesOf(header)) || !file.Commit()) return {PackOutcome::cannotWrite};
    return {PackOutcome::packed, containerHeaderSize + length};
}

bool WritePackedFile(const std::string& name, const PackedModule& packed) {
    platform::ReplacingFile output(name);
    return output.Write(BytesOf(packed.header)) &&
           output.Write(packed.compressed.span().first(packed.compressedLength)) &&
           output.Commit();
}

}  // namespace tunepak
