// Sample data preparation: every loader brings its sample frames into the model through here.

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Element `from` copied onto element `to` (which may be the same), for elements of `Width` bytes.
template <std::size_t Width>
void CopyElement(std::uint8_t* data, std::size_t to, std::size_t from) {
    std::memmove(data + to * Width, data + from * Width, Width);
}

// Copies the `run` elements from `last` down to `to` onwards: last, last - 1, ...
template <std::size_t Width>
void CopyBackward(std::uint8_t* data, std::size_t to, std::size_t last, std::size_t run) {
    for (std::size_t i = 0; i < run; ++i) CopyElement<Width>(data, to + i, last - i);
}

// Splits interleaved left/right elements into the left half followed by the right half; an odd
// last element keeps its place. The left elements close up in place (each moves down); only the
// right ones wait in a scratch block.
template <std::size_t Width>
bool SplitStereo(std::uint8_t* data, std::uint32_t length) {
    const std::size_t half = length / 2;
    WorkBuffer right(half * Width, WorkBuffer::Fill::none);
    if (!right) return false;
    for (std::size_t i = 0; i < half; ++i) {
        std::memcpy(right.data() + i * Width, data + (2 * i + 1) * Width, Width);
        CopyElement<Width>(data, i, 2 * i);
    }
    std::memcpy(data + half * Width, right.data(), half * Width);
    return true;
}

// Flips the top bit of each element's top byte: every byte of 8-bit elements, every second byte
// of 16-bit ones. Eight bytes go at a time, the block being a whole number of elements.
void FlipSigns(std::uint8_t* data, std::size_t bytes, std::size_t width) {
    constexpr std::array<std::uint8_t, 8> wideSigns = {0, 0x80, 0, 0x80, 0, 0x80, 0, 0x80};
    constexpr std::array<std::uint8_t, 8> narrowSigns = {0x80, 0x80, 0x80, 0x80,
                                                         0x80, 0x80, 0x80, 0x80};
    const auto& signs = width == 2 ? wideSigns : narrowSigns;
    std::uint64_t mask = 0;
    std::memcpy(&mask, signs.data(), sizeof mask);
    std::size_t i = 0;
    for (; i + sizeof mask <= bytes; i += sizeof mask) {
        std::uint64_t word = 0;
        std::memcpy(&word, data + i, sizeof word);
        word ^= mask;
        std::memcpy(data + i, &word, sizeof word);
    }
    for (; i < bytes; ++i) data[i] ^= signs[i % signs.size()];
}

// Running sums of deltas in place: of bytes, or of little-endian 16-bit words. The sums wrap
// at the element's width.
template <std::size_t Width>
void IntegrateDeltas(std::uint8_t* data, std::size_t bytes) {
    std::size_t i = 0;
    std::uint32_t accumulator = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time: each lane adds the lanes below it, in steps of 1, 2, 4 and 8
    // lanes, then the sum of everything before the block, spread to every lane. The block's own
    // total is spread apart from that, so that only one addition a block waits for the one
    // before. (Machines with SSE2 are little-endian, as the words are.)
    __m128i before = _mm_setzero_si128();
    for (; i + 16 <= bytes; i += 16) {
        auto* at = reinterpret_cast<__m128i*>(data + i);
        __m128i sums = _mm_loadu_si128(at);
        if constexpr (Width == 1) {
            sums = _mm_add_epi8(sums, _mm_slli_si128(sums, 1));
            sums = _mm_add_epi8(sums, _mm_slli_si128(sums, 2));
            sums = _mm_add_epi8(sums, _mm_slli_si128(sums, 4));
            sums = _mm_add_epi8(sums, _mm_slli_si128(sums, 8));
            const __m128i top = _mm_unpackhi_epi8(sums, sums);  // byte 15 in the top word
            const __m128i total = _mm_shuffle_epi32(_mm_unpackhi_epi16(top, top), 0xFF);
            _mm_storeu_si128(at, _mm_add_epi8(sums, before));
            before = _mm_add_epi8(before, total);
        } else {
            sums = _mm_add_epi16(sums, _mm_slli_si128(sums, 2));
            sums = _mm_add_epi16(sums, _mm_slli_si128(sums, 4));
            sums = _mm_add_epi16(sums, _mm_slli_si128(sums, 8));
            // Word 7, spread.
            const __m128i total = _mm_shuffle_epi32(_mm_unpackhi_epi16(sums, sums), 0xFF);
            _mm_storeu_si128(at, _mm_add_epi16(sums, before));
            before = _mm_add_epi16(before, total);
        }
    }
    accumulator = static_cast<std::uint32_t>(_mm_cvtsi128_si32(before));
#endif
    for (; i + Width <= bytes; i += Width) {
        if constexpr (Width == 1) {
            data[i] = static_cast<std::uint8_t>(accumulator += data[i]);
        } else {
            accumulator += ReadLe16(data + i);
            WriteLe16(data + i, static_cast<std::uint16_t>(accumulator));
        }
    }
}

// Delta decoding, then sign conversion. The accumulator runs across the whole block; the sign
// conversion never feeds back into it, so the two can run as separate passes.
void Decode(std::uint8_t* data, std::uint32_t length, std::size_t width, SampleEncoding encoding) {
    const std::size_t bytes = std::size_t{length} * width;
    if (encoding.delta) {
        if (width == 2 && encoding.wordDeltas) {
            IntegrateDeltas<2>(data, bytes);
        } else {
            IntegrateDeltas<1>(data, bytes);  // one stream of byte deltas, whatever the width
        }
    }
    if (encoding.unsignedValues) FlipSigns(data, bytes, width);
}

// The flags that state an encoding in a stored header (word deltas go by the pan bit, which the
// one format that has them sets itself).
std::uint8_t StatedFlags(SampleEncoding encoding) {
    return static_cast<std::uint8_t>((encoding.delta ? deltaSource : 0) |
                                     (encoding.unsignedValues ? unsignedSource : 0) |
                                     (encoding.stereo ? stereoSource : 0));
}

// The frames as they lie in a stream.
class StreamSource final : public SampleSource {
public:
    explicit StreamSource(void* stream) : stream_(stream) {}
    std::optional<std::uint64_t> BytesLeft() override { return tunepak::BytesLeft(stream_); }
    void Read(std::span<std::uint8_t> bytes) override { ReadBytes(stream_, bytes); }

private:
    void* stream_;
};

// The frames of a sample whose data lies where the stream cannot reach: there are none.
class NoSource final : public SampleSource {
public:
    std::optional<std::uint64_t> BytesLeft() override { return 0; }
    void Read(std::span<std::uint8_t> bytes) override {
        std::fill(bytes.begin(), bytes.end(), std::uint8_t{0});
    }
};

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
            if (width == 2) {
                CopyBackward<2>(data, position, loopEnd, run);
            } else {
                CopyBackward<1>(data, position, loopEnd, run);
            }
        }
        position += run;
        remaining -= run;
    }
}

}  // namespace

std::uint64_t RunOutTail(const SampleHeader& header) {
    const bool fixedStereo = (header.flags2 & fixedLoopBuffer) && (header.flags & stereoSource);
    std::uint64_t tail = fixedStereo ? fixedBufferStereoTail : runOutTail;
    if (header.flags & pingPong) tail += header.loopEnd - header.loopStart;
    return tail;
}

SampleEncoding StoredEncoding(const SampleHeader& header) {
    return {
        .delta = (header.flags & deltaSource) != 0,
        .wordDeltas = (header.flags & usePan) != 0,
        .unsignedValues = (header.flags & unsignedSource) != 0,
        .stereo = (header.flags & stereoSource) && !(header.flags2 & converted),
    };
}

int PrepareSample(SampleHeader& header, std::uint8_t*& data, void* stream) {
    return PrepareSample(header, data, stream, StoredEncoding(header));
}

int PrepareSample(SampleHeader& header, std::uint8_t*& data, void* stream,
                  SampleEncoding encoding) {
    StreamSource source(stream);
    return PrepareSample(header, data, source, encoding);
}

int PrepareUnreachableSample(SampleHeader& header, std::uint8_t*& data,
                             SampleEncoding encoding) {
    NoSource none;
    return PrepareSample(header, data, none, encoding);
}

int PrepareSampleAt(StreamReader& reader, std::uint64_t offset, SampleHeader& header,
                    std::uint8_t*& data, SampleEncoding encoding) {
    if (!reader.Seek(offset)) return PrepareUnreachableSample(header, data, encoding);
    return PrepareSample(header, data, reader.stream(), encoding);
}

int PrepareSample(SampleHeader& header, std::uint8_t*& data, SampleSource& source,
                  SampleEncoding encoding) {
    header.flags |= StatedFlags(encoding);
    const bool fixed = header.flags2 & fixedLoopBuffer;
    if (fixed) {
        header.flags |= loop;
        header.loopStart = 0;
        header.loopEnd = fixedBufferLength;
        header.length = fixedBufferLength;
    }
    const std::uint32_t width = SampleWidth(header);
    if (!(header.flags & loop)) header.flags &= static_cast<std::uint8_t>(~(loop | pingPong));
    header.volume = std::min(header.volume, volumeCeiling);

    // A sample never claims more frames than the stream holds.
    if (!fixed) {
        if (const auto left = source.BytesLeft(); left && header.length > *left / width) {
            const auto held = static_cast<std::uint32_t>(*left / width);
            NoteSampleCut(header.length - held);
            header.length = held;
        }
    }
    const std::uint32_t length = header.length;
    if (header.loopEnd > length) header.loopEnd = length;
    if (header.loopStart >= header.loopEnd) header.flags &= static_cast<std::uint8_t>(~(loop | pingPong));
    if (length == 0) return ResultOk;
    const std::uint64_t tail = RunOutTail(header);

    const std::uint64_t blockBytes = (std::uint64_t{length} + tail) * width;
    if (blockBytes > largestBlock || !ReserveSampleBytes(blockBytes)) return ResultNoSampleMemory;
    data = static_cast<std::uint8_t*>(services.allocate(static_cast<std::size_t>(blockBytes)));
    if (data == nullptr) return ResultNoSampleMemory;
    const std::size_t dataBytes = std::size_t{length} * width;
    source.Read(std::span(data, dataBytes));

    if (encoding.Converts()) {
        if (encoding.stereo) {
            const bool split =
                width == 2 ? SplitStereo<2>(data, length) : SplitStereo<1>(data, length);
            if (!split) return ResultNoSampleMemory;
        }
        Decode(data, length, width, encoding);
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
