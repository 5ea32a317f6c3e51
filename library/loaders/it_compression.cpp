#include "loaders/it_compression.h"

#include <algorithm>
#include <array>
#include <limits>

#include "io/services.h"
#include "loaders/loaders.h"
#include "model/conversion_record.h"

namespace tunepak {

namespace {

// The largest byte count a block head can give.
constexpr std::size_t largestBlockBytes = 0xFFFF;

// Reads a bit stream least significant bit first; bits past its end read as 0.
class BitReader {
public:
    explicit BitReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    // The next `count` (1..32) bits as a number, the first bit read in bit 0.
    std::uint32_t Read(int count) {
        std::uint32_t value = 0;
        for (int i = 0; i < count; ++i, ++position_) {
            const std::size_t byte = position_ / 8;
            if (byte < bytes_.size() && ((bytes_[byte] >> (position_ % 8)) & 1) != 0) {
                value |= 1u << i;
            }
        }
        return value;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

// A new bit width chosen by value v (1 based) skips the width in use: v when below it, else v + 1.
int NextWidth(std::uint32_t v, int current) {
    const int width = static_cast<int>(v);
    return width < current ? width : width + 1;
}

// The frames one block decodes to at most: those its bytes can carry, at one bit a frame at
// the narrowest width, and never more than a block holds.
std::uint32_t BlockFrames(std::uint32_t width, std::size_t bytes) {
    return static_cast<std::uint32_t>(std::min<std::size_t>(CompressedBlockFrames(width), bytes * 8));
}

// The frames that the blocks present in the stream decode to, up to `length`; the stream is
// put back where it was. A block counts when its 2-byte head can be read, with the bytes of its
// data that the stream holds (the bits of missing bytes read as 0, but carry no frames).
std::uint32_t FramesPresent(void* stream, std::uint32_t length, std::uint32_t width) {
    const long start = services.tell(stream);
    if (start < 0 || start > std::numeric_limits<std::int32_t>::max()) return 0;
    std::uint64_t left = BytesLeft(stream).value_or(std::numeric_limits<std::uint64_t>::max());
    std::uint32_t frames = 0;
    while (frames < length && left >= 2) {
        std::array<std::uint8_t, 2> head{};
        if (ReadBytes(stream, head) < head.size()) break;
        const std::uint64_t bytes = std::min<std::uint64_t>(ReadLe16(head.data()), left - 2);
        left -= 2 + bytes;
        frames += std::min(BlockFrames(width, static_cast<std::size_t>(bytes)), length - frames);
        if (!SeekBy(stream, static_cast<std::int64_t>(bytes))) break;
    }
    services.seek(stream, static_cast<std::int32_t>(start), 0);
    return frames;
}

// Runs PrepareSample over frames that lie in memory: the memory-mode stream functions stand in
// for the installed ones during the call, and the installed ones and the memory stream's
// position are put back afterwards.
int PrepareFromMemory(SampleHeader& header, std::uint8_t*& data, std::uint8_t* frames) {
    const ServiceTable installed = services;
    const MemoryStream position = memoryStream;
    void* memory = InstallStreams(StreamMemory, frames);
    const int result = PrepareSample(header, data, memory);
    services.seek = installed.seek;
    services.read = installed.read;
    services.write = installed.write;
    services.tell = installed.tell;
    memoryStream = position;
    return result;
}

}  // namespace

void DecodeCompressedBlock(std::span<const std::uint8_t> bits, std::span<std::uint8_t> frames,
                           std::uint32_t width, bool doubleDelta) {
    const bool wide = width == 2;
    const int sampleBits = wide ? 16 : 8;
    const int topWidth = sampleBits + 1;              // the widest values, and the starting width
    const int widthFieldBits = wide ? 4 : 3;          // the field that follows a narrow marker
    const std::uint32_t markerHalf = wide ? 8 : 4;    // markers lie within border +- this
    const std::uint32_t valueMask = (1u << sampleBits) - 1;
    const std::size_t count = frames.size() / width;

    BitReader reader(bits);
    int bitWidth = topWidth;
    std::uint32_t once = 0;   // the values integrated once (2.14)
    std::uint32_t twice = 0;  // and twice (2.15)
    std::size_t done = 0;
    while (done < count) {
        const std::uint32_t value = reader.Read(bitWidth);
        if (bitWidth <= 6) {
            // Narrow widths: the value with only its top bit set announces a new width.
            if (value == 1u << (bitWidth - 1)) {
                bitWidth = NextWidth(reader.Read(widthFieldBits) + 1, bitWidth);
                continue;
            }
        } else if (bitWidth < topWidth) {
            // Middle widths: a run of values around the top of the range names a new width.
            const std::uint32_t border = (valueMask >> (topWidth - bitWidth)) - markerHalf;
            if (value > border && value <= border + 2 * markerHalf) {
                bitWidth = NextWidth(value - border, bitWidth);
                continue;
            }
        } else if ((value >> sampleBits) != 0) {
            // The widest values: the top bit set means the low byte + 1 is the new width.
            bitWidth = static_cast<int>((value + 1) & 0xFF);
            if (bitWidth == 0 || bitWidth > topWidth) break;  // not a width of the scheme
            continue;
        }
        std::uint32_t delta = value;
        if (bitWidth < sampleBits && ((value >> (bitWidth - 1)) & 1) != 0) {
            delta |= ~((1u << bitWidth) - 1);  // sign extension
        }
        once = (once + delta) & valueMask;
        twice = (twice + once) & valueMask;
        const std::uint32_t sample = doubleDelta ? twice : once;
        frames[done * width] = static_cast<std::uint8_t>(sample);
        if (wide) frames[done * width + 1] = static_cast<std::uint8_t>(sample >> 8);
        ++done;
    }
    std::fill(frames.begin() + static_cast<std::ptrdiff_t>(done * width), frames.end(),
              std::uint8_t{0});
}

int PrepareCompressedSample(SampleHeader& header, std::uint8_t*& data, void* stream,
                            bool doubleDelta) {
    const std::uint32_t width = SampleWidth(header);
    const std::uint32_t frames = FramesPresent(stream, header.length, width);
    NoteCompressedSample();
    if (frames < header.length) NoteSampleCut(header.length - frames);
    header.length = frames;
    if (frames == 0) return PrepareSample(header, data, stream);  // nothing to read
    if (std::uint64_t{frames} * width > std::numeric_limits<std::int32_t>::max()) {
        return ResultNoSampleMemory;
    }

    WorkBuffer pcm(std::size_t{frames} * width);
    WorkBuffer block(largestBlockBytes);
    if (!pcm || !block) return ResultNoMemory;
    for (std::uint32_t done = 0; done < frames;) {
        const auto stated = block.span().first(ReadU16Le(stream));
        const auto bits = stated.first(ReadBytes(stream, stated));
        const std::uint32_t now = std::min(BlockFrames(width, bits.size()), frames - done);
        DecodeCompressedBlock(bits, pcm.span().subspan(std::size_t{done} * width, std::size_t{now} * width),
                              width, doubleDelta);
        done += now;
    }
    return PrepareFromMemory(header, data, pcm.data());
}

}  // namespace tunepak
