// Sample data preparation: every loader brings its sample frames into the model through here.

#include <algorithm>
#include <cstring>
#include <limits>

#include "io/services.h"
#include "loaders/loaders.h"
#include "model/conversion_record.h"

namespace tunepak {

namespace {

constexpr std::uint32_t runOutTail = 31;
constexpr std::uint32_t fixedBufferLength = 65536;
constexpr std::uint32_t fixedBufferStereoTail = 32768 + runOutTail;
constexpr std::uint8_t volumeCeiling = 64;
// No sample block is ever larger than this; a header that asks for more cannot be allocated.
constexpr std::uint64_t largestBlock = std::numeric_limits<std::int32_t>::max();

// Splits interleaved left/right elements into the left half followed by the right half; an odd
// last element keeps its place.
bool SplitStereo(std::uint8_t* data, std::uint32_t length, std::uint32_t width) {
    const std::size_t bytes = static_cast<std::size_t>(length) * width;
    WorkBuffer scratch(bytes);
    if (!scratch) return false;
    std::memcpy(scratch.data(), data, bytes);
    const std::uint32_t half = length / 2;
    for (std::uint32_t i = 0; i < half; ++i) {
        std::memcpy(data + std::size_t{i} * width, scratch.data() + std::size_t{2 * i} * width, width);
        std::memcpy(data + std::size_t{half + i} * width, scratch.data() + std::size_t{2 * i + 1} * width,
                    width);
    }
    return true;
}

// Delta decoding and sign conversion in one pass, with one accumulator across the whole block.
void Decode(std::uint8_t* data, std::uint32_t length, std::uint8_t flags) {
    const bool delta = flags & deltaSource;
    const bool toSigned = flags & unsignedSource;
    if (!(flags & sixteenBit)) {
        std::uint8_t accumulator = 0;
        for (std::uint32_t i = 0; i < length; ++i) {
            if (delta) data[i] = accumulator = static_cast<std::uint8_t>(accumulator + data[i]);
            if (toSigned) data[i] ^= 0x80;
        }
        return;
    }
    const bool wordDeltas = flags & usePan;
    std::uint16_t accumulator = 0;
    for (std::uint32_t i = 0; i < length; ++i) {
        std::uint8_t* element = data + std::size_t{i} * 2;
        if (delta && wordDeltas) {
            accumulator = static_cast<std::uint16_t>(accumulator + ReadLe16(element));
            WriteLe16(element, accumulator);
        } else if (delta) {
            for (int b = 0; b < 2; ++b) {
                accumulator = static_cast<std::uint8_t>(accumulator + element[b]);
                element[b] = static_cast<std::uint8_t>(accumulator);
            }
        }
        if (toSigned) element[1] ^= 0x80;
    }
}

// Writes the run-out tail behind the loop: the loop again (forward), or the loop backwards and
// forwards in turn (ping-pong), `tail` elements in all.
void BuildLoopTail(std::uint8_t* data, const SampleHeader& header, std::uint32_t tail,
                   std::uint32_t width) {
    const std::uint32_t loopStart = header.loopStart;
    const std::uint32_t loopEnd = header.loopEnd;
    const bool alternate = header.flags & pingPong;
    std::uint32_t run = loopEnd - loopStart;
    std::size_t position = loopEnd;
    bool forward = true;
    for (std::uint32_t remaining = tail; remaining > 0;) {
        if (alternate) forward = !forward;
        run = std::min(run, remaining);
        if (forward) {
            std::memcpy(data + position * width, data + std::size_t{loopStart} * width,
                        std::size_t{run} * width);
        } else {
            for (std::uint32_t i = 0; i < run; ++i) {
                std::memmove(data + (position + i) * width, data + std::size_t{loopEnd - i} * width,
                             width);
            }
        }
        position += run;
        remaining -= run;
    }
}

}  // namespace

int PrepareSample(SampleHeader& header, std::uint8_t*& data, void* stream) {
    std::uint64_t tail = runOutTail;
    const bool fixed = header.flags2 & fixedLoopBuffer;
    if (fixed) {
        header.flags |= loop;
        header.loopStart = 0;
        header.loopEnd = fixedBufferLength;
        header.length = fixedBufferLength;
        if (header.flags & stereoSource) tail = fixedBufferStereoTail;
    }
    const std::uint32_t width = SampleWidth(header);
    if (!(header.flags & loop)) header.flags &= static_cast<std::uint8_t>(~(loop | pingPong));
    header.volume = std::min(header.volume, volumeCeiling);

    // A sample never claims more frames than the stream holds.
    if (!fixed) {
        if (const auto left = BytesLeft(stream); left && header.length > *left / width) {
            const auto held = static_cast<std::uint32_t>(*left / width);
            NoteSampleCut(header.length - held);
            header.length = held;
        }
    }
    const std::uint32_t length = header.length;
    if (header.loopEnd > length) header.loopEnd = length;
    if (header.loopStart >= header.loopEnd) header.flags &= static_cast<std::uint8_t>(~(loop | pingPong));
    if (header.flags & pingPong) tail += header.loopEnd - header.loopStart;
    if (length == 0) return ResultOk;

    const std::uint64_t blockBytes = (std::uint64_t{length} + tail) * width;
    if (blockBytes > largestBlock) return ResultNoSampleMemory;
    data = static_cast<std::uint8_t*>(services.allocate(static_cast<std::size_t>(blockBytes)));
    if (data == nullptr) return ResultNoSampleMemory;
    const std::size_t dataBytes = std::size_t{length} * width;
    ReadBytes(stream, std::span(data, dataBytes));

    if (header.flags & (deltaSource | unsignedSource | stereoSource)) {
        if ((header.flags & stereoSource) && !(header.flags2 & converted)) {
            if (!SplitStereo(data, length, width)) return ResultNoSampleMemory;
        }
        Decode(data, length, header.flags);
        if (!fixed) {
            header.flags &= static_cast<std::uint8_t>(~(deltaSource | unsignedSource));
            header.flags2 |= converted;
        }
    }

    const auto tailLength = static_cast<std::uint32_t>(tail);
    if (header.flags & loop) {
        if ((header.flags & pingPong) && length == header.loopEnd) {
            // No source element lies at the loop end, where every backward run starts.
            std::memcpy(data + dataBytes, data + dataBytes - width, width);
        }
        header.length = header.loopEnd;
        BuildLoopTail(data, header, tailLength, width);
    } else {
        std::memset(data + dataBytes, 0, std::size_t{tailLength} * width);
    }
    std::memcpy(header.id.data(), "SAMP", 4);
    header.size = 56;
    return ResultOk;
}

}  // namespace tunepak
