#include "loaders/adpcm.h"

#include <algorithm>

#include "io/services.h"
#include "loaders/loaders.h"
#include "model/conversion_record.h"

namespace tunepak {

namespace {

// Decoded frames served to PrepareSample as a sample's plain signed 8-bit bytes.
class DecodedFrames final : public SampleSource {
public:
    explicit DecodedFrames(std::span<const std::uint8_t> frames) : frames_(frames) {}
    std::optional<std::uint64_t> BytesLeft() override { return frames_.size(); }
    void Read(std::span<std::uint8_t> bytes) override {
        const std::size_t count = std::min(bytes.size(), frames_.size());
        std::copy_n(frames_.begin(), count, bytes.begin());
        std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(count), bytes.end(), 0);
        frames_ = frames_.subspan(count);
    }

private:
    std::span<const std::uint8_t> frames_;
};

}  // namespace

std::size_t DecodeAdpcm(std::span<const std::uint8_t> stored, std::span<std::uint8_t> frames) {
    if (stored.size() < adpcmTableBytes) return 0;
    const auto table = stored.first(adpcmTableBytes);
    const auto packed = stored.subspan(adpcmTableBytes);
    const std::size_t count = std::min(frames.size(), packed.size() * 2);
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t byte = packed[i / 2];
        const unsigned nibble = (i % 2 == 0) ? byte & 0x0F : byte >> 4;
        sum = static_cast<std::uint8_t>(sum + table[nibble]);
        frames[i] = sum;
    }
    return count;
}

int PrepareAdpcmSample(SampleHeader& header, std::uint8_t*& data, void* stream) {
    // The decoded frames are all there is: plain signed mono bytes, never a fixed looped buffer.
    header.flags2 &= static_cast<std::uint8_t>(~fixedLoopBuffer);
    header.flags &=
        static_cast<std::uint8_t>(~(deltaSource | unsignedSource | sixteenBit | stereoSource));
    const std::uint32_t wanted = header.length;
    if (wanted == 0) return PrepareSample(header, data, stream, SampleEncoding{});
    NoteCompressedSample(adpcmSampleLabel);

    // Only the bytes the stream holds are read (a memory block has no known end: its caller
    // answers for it), and only the frames they hold are decoded.
    std::uint64_t storedBytes = AdpcmStoredBytes(wanted);
    if (const auto left = BytesLeft(stream)) storedBytes = std::min(storedBytes, *left);
    WorkBuffer stored(static_cast<std::size_t>(storedBytes), WorkBuffer::Fill::none);
    if (!stored) return ResultNoMemory;
    const std::size_t got = ReadBytes(stream, stored.span());
    const std::size_t present =
        got < adpcmTableBytes ? 0 : std::min<std::size_t>(wanted, 2 * (got - adpcmTableBytes));
    WorkBuffer frames(present, WorkBuffer::Fill::none);  // filled by the decoder
    if (!frames) return ResultNoMemory;
    const std::size_t decoded = DecodeAdpcm(stored.span().first(got), frames.span());

    if (decoded < wanted) NoteSampleCut(wanted - decoded);
    header.length = static_cast<std::uint32_t>(decoded);
    if (decoded > 0) header.flags2 |= converted;
    DecodedFrames source(frames.span().first(decoded));
    return PrepareSample(header, data, source, SampleEncoding{});
}

}  // namespace tunepak
