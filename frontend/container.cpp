#include "container.h"

#include <algorithm>
#include <cstring>

#include <zlib.h>

#include "io/memory_file.h"
#include "model/model.h"
#include "platform.h"
#include "text_format.h"

namespace tunepak {

bool PackModule(std::span<const std::uint8_t> image, PackedModule& packed) {
    const std::size_t capacity = CompressedCapacity(image.size());
    packed.compressed = WorkBuffer(capacity, WorkBuffer::Fill::none);
    if (!packed.compressed) return false;
    uLongf length = static_cast<uLongf>(capacity);
    if (compress2(packed.compressed.data(), &length, image.data(), static_cast<uLong>(image.size()),
                  Z_BEST_COMPRESSION) != Z_OK) {
        return false;
    }
    packed.compressedLength = length;
    SealPackedModule(packed, image.size());
    return true;
}

namespace {

// The header of `length` compressed bytes with the CRC-32 `crc`, of an image of `imageSize` bytes.
void PutHeader(std::span<std::uint8_t, containerHeaderSize> header, std::size_t length,
               std::uint32_t crc, std::size_t imageSize) {
    std::memcpy(header.data(), containerId.data(), 4);
    std::memcpy(header.data() + 4, containerMagic.data(), 4);
    WriteLe32(header.data() + 8, static_cast<std::uint32_t>(length + containerHeaderSize));
    WriteLe32(header.data() + 12, crc);
    WriteLe32(header.data() + 16, static_cast<std::uint32_t>(length));
    WriteLe32(header.data() + 20, static_cast<std::uint32_t>(imageSize));
}

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

void SealPackedModule(PackedModule& packed, std::size_t imageSize) {
    const std::size_t length = packed.compressedLength;
    const auto crc = static_cast<std::uint32_t>(
        crc32(0L, packed.compressed.data(), static_cast<uInt>(length)));
    PutHeader(packed.header, length, crc, imageSize);
}

PackOutcome PackIntoFile(std::span<const std::uint8_t> image, const std::string& name) {
    Deflater deflater;
    WorkBuffer piece(packingPiece, WorkBuffer::Fill::none);
    if (!deflater.open || !piece) return {PackOutcome::outOfMemory};
    z_stream& z = deflater.stream;
    z.next_in = const_cast<Bytef*>(image.data());
    z.avail_in = static_cast<uInt>(image.size());  // an image is at most 4 GB - 1 bytes

    platform::ReplacingFile file(name);
    std::array<std::uint8_t, containerHeaderSize> header{};
    bool written = file.Write(header);  // a place for the header, filled in at the end
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
    PutHeader(header, static_cast<std::size_t>(length), static_cast<std::uint32_t>(crc),
              image.size());
    if (!file.WriteAt(0, header) || !file.Commit()) return {PackOutcome::cannotWrite};
    return {PackOutcome::packed, containerHeaderSize + length};
}

bool WritePackedFile(const std::string& name, const PackedModule& packed) {
    platform::ReplacingFile output(name);
    return output.Write(packed.header) &&
           output.Write(packed.compressed.span().first(packed.compressedLength)) &&
           output.Commit();
}

bool StartsAsPackedModule(std::span<const std::uint8_t> head) {
    return head.size() >= 8 && std::equal(containerId.begin(), containerId.end(), head.begin()) &&
           std::equal(containerMagic.begin(), containerMagic.end(), head.begin() + 4);
}

bool UnpackedModule::Has(Damage kind) const {
    return std::any_of(damage.begin(), damage.end(),
                       [kind](const DamageReport& report) { return report.kind == kind; });
}

namespace {

// Four header bytes as text: printable characters as they are, others as \xNN.
std::string Quoted(std::span<const std::uint8_t, 4> bytes) {
    std::string text = "\"";
    for (const std::uint8_t byte : bytes) {
        if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
            text += static_cast<char>(byte);
        } else {
            AppendFormat(text, "\\x%02X", byte);
        }
    }
    return text + "\"";
}

// Ends the inflater on every exit.
struct Inflater {
    z_stream stream{};
    bool open = false;
    Inflater() { open = inflateInit(&stream) == Z_OK; }
    ~Inflater() {
        if (open) inflateEnd(&stream);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
};

// What running a compressed stream through the inflater gave.
struct Inflation {
    std::size_t produced = 0;  // bytes of output, at most the limit asked for
    bool beyond = false;       // the stream goes on past the limit
    int result = Z_OK;         // zlib's last result
    std::size_t inputLeft = 0;
    std::string message;       // zlib's, for an invalid stream
};

// Inflates `compressed`, stopping one byte past `limit` bytes of output. With `out` (room for
// `limit` bytes) the output lands there; without, it only passes through a small block and is
// counted, which tells what the stream delivers before anything is allocated for it.
Inflation InflateStream(std::span<const std::uint8_t> compressed, std::size_t limit,
                        std::uint8_t* out) {
    Inflation inflation;
    Inflater inflater;
    if (!inflater.open) {
        inflation.result = Z_MEM_ERROR;
        return inflation;
    }
    z_stream& z = inflater.stream;
    z.next_in = const_cast<Bytef*>(compressed.data());
    z.avail_in = static_cast<uInt>(compressed.size());
    std::array<std::uint8_t, 16 * 1024> passing;
    for (;;) {
        const std::size_t room = limit - inflation.produced;
        const bool atLimit = room == 0;  // one more byte of room tells whether the stream ends
        z.next_out = out != nullptr && !atLimit ? out + inflation.produced : passing.data();
        z.avail_out = static_cast<uInt>(
            atLimit ? 1 : std::min(room, out != nullptr ? room : passing.size()));
        const uInt offered = z.avail_out;
        inflation.result = inflate(&z, Z_NO_FLUSH);
        const std::size_t got = offered - z.avail_out;
        if (atLimit && got != 0) {
            inflation.beyond = true;
            break;
        }
        inflation.produced += got;
        if (inflation.result != Z_OK) break;
    }
    inflation.inputLeft = z.avail_in;
    if (z.msg != nullptr) inflation.message = z.msg;
    return inflation;
}

// Checks the stream and, when it inflates to its end within the stated length, takes the image
// out of it. A stated length beyond `bound` is damage on its own: nothing is inflated. Otherwise
// the stream is inflated twice: first only counted, so that the image is allocated once, at the
// length the stream has shown that it delivers, and then into the image.
void Inflate(std::span<const std::uint8_t> compressed, std::uint32_t stated, std::uint64_t bound,
             UnpackedModule& out) {
    if (stated > bound) {
        out.damage.push_back(
            {Damage::imageBeyondBound,
             Format("stated image of %u bytes is more than the %llu bytes that a packed file of "
                    "%llu bytes may hold",
                    stated, static_cast<unsigned long long>(bound),
                    static_cast<unsigned long long>(out.fileSize))});
        return;
    }
    const Inflation counted = InflateStream(compressed, stated, nullptr);
    if (counted.beyond) {
        out.damage.push_back(
            {Damage::imageTooLong, Format("image is longer than the stated %u bytes", stated)});
        return;
    }
    switch (counted.result) {
        case Z_STREAM_END: break;
        case Z_BUF_ERROR:  // every input byte is used and the stream wants more
            out.damage.push_back(
                {Damage::streamTruncated,
                 Format("compressed stream ends early, after %zu image bytes", counted.produced)});
            return;
        case Z_MEM_ERROR: out.outOfMemory = true; return;
        default:
            out.damage.push_back(
                {Damage::streamCorrupt,
                 Format("compressed stream is invalid (zlib: %s)",
                        counted.message.empty() ? "needs a preset dictionary"
                                                : counted.message.c_str())});
            return;
    }
    if (counted.inputLeft != 0) {
        out.damage.push_back(
            {Damage::streamTrailing,
             Format("%zu bytes follow the end of the compressed stream", counted.inputLeft)});
    }
    if (counted.produced < stated) {
        out.damage.push_back({Damage::imageTooShort,
                              Format("image is %zu bytes, the header says %u", counted.produced,
                                     stated)});
    }

    WorkBuffer image(counted.produced, WorkBuffer::Fill::none);  // inflated whole below
    if (!image ||
        InflateStream(compressed, counted.produced, image.data()).result != Z_STREAM_END) {
        out.outOfMemory = true;  // the same stream again: only memory can fail it
        return;
    }
    out.image = std::move(image);
    out.imageLength = counted.produced;
    out.recovered = true;
}

}  // namespace

UnpackedModule UnpackModule(std::span<const std::uint8_t> file) {
    UnpackedModule out;
    out.fileSize = file.size();
    std::memcpy(&out.header, file.data(), std::min(file.size(), containerHeaderSize));
    if (file.size() < containerHeaderSize) {
        out.damage.push_back(
            {Damage::shortFile, Format("file is %zu bytes, shorter than the %zu-byte header",
                                       file.size(), containerHeaderSize)});
        return out;
    }
    const ContainerHeader& header = out.header;
    if (header.id != containerId) {
        out.damage.push_back(
            {Damage::id, "magic is " + Quoted(file.first<4>()) + ", not \"MUSE\""});
    }
    if (header.magic != containerMagic) {
        out.damage.push_back(
            {Damage::magic,
             Format("magic bytes are %02X %02X %02X %02X, not DE AD BA BE", header.magic[0],
                    header.magic[1], header.magic[2], header.magic[3])});
    }

    const std::uint64_t total = header.totalLength;
    const std::uint64_t stated = header.compressedLength;
    const std::uint64_t behind = file.size() - containerHeaderSize;
    if (total == stated + containerHeaderSize && file.size() < total) {
        out.damage.push_back(
            {Damage::truncated, Format("file truncated: %llu of %llu bytes",
                                       static_cast<unsigned long long>(file.size()),
                                       static_cast<unsigned long long>(total))});
    } else {
        if (total != file.size()) {
            out.damage.push_back({Damage::totalLength,
                                  Format("total length field says %llu bytes, the file has %llu",
                                         static_cast<unsigned long long>(total),
                                         static_cast<unsigned long long>(file.size()))});
        }
        if (stated != behind) {
            out.damage.push_back(
                {Damage::compressedLength,
                 Format("compressed length field says %llu bytes, %llu follow the header",
                        static_cast<unsigned long long>(stated),
                        static_cast<unsigned long long>(behind))});
        }
    }

    // The compressed bytes that the header names and the file holds; the CRC is checked only
    // when all of them are there (missing bytes are named above).
    const auto compressed =
        file.subspan(containerHeaderSize, static_cast<std::size_t>(std::min(stated, behind)));
    out.actualCrc = static_cast<std::uint32_t>(
        crc32(0L, compressed.data(), static_cast<uInt>(compressed.size())));
    if (stated <= behind && out.actualCrc != header.crc) {
        out.damage.push_back(
            {Damage::crc, Format("CRC-32 of the compressed bytes is %08X, the header says %08X",
                                 out.actualCrc, static_cast<std::uint32_t>(header.crc))});
    }
    Inflate(compressed, header.imageLength, SampleBytesBound(file.size()), out);
    return out;
}

}  // namespace tunepak
