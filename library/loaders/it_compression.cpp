#include "loaders/it_compression.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>

#include "io/services.h"
#include "io/stream_reader.h"
#include "loaders/loaders.h"
#include "model/conversion_record.h"

namespace tunepak {

namespace {

// The largest byte count a block head can give.
constexpr std::size_t largestBlockBytes = 0xFFFF;

// Reads a bit stream least significant bit first; bits past its end read as 0. The bits wait in
// a 64-bit window, so a value costs a shift and a mask.
class BitReader {
public:
    explicit BitReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    // The next `count` (1..32) bits as a number, the first bit read in bit 0.
    std::uint32_t Read(int count) {
        if (held_ < count) Refill();
        const auto value = static_cast<std::uint32_t>(window_ & ((std::uint64_t{1} << count) - 1));
        Skip(count);
        return value;
    }

    // The bits at hand, the next one in bit 0, and how many of them there are.
    std::uint64_t window() const { return window_; }
    int held() const { return held_; }

    // Drops the next `count` (0..held) bits.
    void Skip(int count) {
        window_ >>= count;
        held_ -= count;
    }

    // Drops zero bits, up to `most` of them, and returns how many it dropped; the bits past the
    // end of the bytes are zeros too. Whole zero bytes are taken straight from the data.
    std::size_t SkipZeros(std::size_t most) {
        std::size_t skipped = 0;
        while (skipped < most) {
            const std::size_t left = most - skipped;
            const std::uint64_t bits = window_ & ((std::uint64_t{1} << held_) - 1);
            if (bits != 0) {
                const auto zeros = std::min(static_cast<std::size_t>(std::countr_zero(bits)), left);
                Skip(static_cast<int>(zeros));
                return skipped + zeros;
            }
            if (left <= static_cast<std::size_t>(held_)) {
                Skip(static_cast<int>(left));
                return most;
            }
            skipped += static_cast<std::size_t>(held_);
            window_ = 0;  // the bits above the held ones belong to bytes still ahead
            held_ = 0;
            while (most - skipped >= 64 && bytes_.size() - next_ >= 8 &&
                   ReadLe64(bytes_.data() + next_) == 0) {
                next_ += 8;
                skipped += 64;
            }
            while (most - skipped >= 8 && next_ < bytes_.size() && bytes_[next_] == 0) {
                ++next_;
                skipped += 8;
            }
            if (next_ == bytes_.size()) return most;
            Refill();
        }
        return most;
    }

    // Fills the window to at least `refilledBits`; past the end of the bytes it fills with zeros.
    // With eight bytes ahead, one load tops it up: the bits above the whole bytes taken belong to
    // the next byte, which the following refill puts in the same place again.
    static constexpr int refilledBits = 56;
    void Refill() {
        if (bytes_.size() - next_ >= 8) {
            window_ |= ReadLe64(bytes_.data() + next_) << held_;
            const int taken = (63 - held_) / 8;  // whole bytes: 56 to 63 bits held
            next_ += static_cast<std::size_t>(taken);
            held_ += 8 * taken;
            return;
        }
        while (held_ < refilledBits) {
            if (next_ < bytes_.size()) window_ |= std::uint64_t{bytes_[next_++]} << held_;
            held_ += 8;
        }
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t next_ = 0;
    std::uint64_t window_ = 0;
    int held_ = 0;
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
    if (services.tell(stream) < 0) return 0;
    StreamReader blocks(stream);  // from here
    std::uint64_t left = blocks.BytesLeft().value_or(std::numeric_limits<std::uint64_t>::max());
    std::uint32_t frames = 0;
    while (frames < length && left >= 2) {
        std::array<std::uint8_t, 2> head{};
        if (blocks.Read(head) < head.size()) break;
        const std::uint64_t bytes = std::min<std::uint64_t>(ReadLe16(head.data()), left - 2);
        left -= 2 + bytes;
        frames += std::min(BlockFrames(width, static_cast<std::size_t>(bytes)), length - frames);
        if (!blocks.Skip(static_cast<std::int64_t>(bytes))) break;
    }
    // When the stream cannot go back to the first block, none of them can be decoded.
    return blocks.Seek(0) ? frames : 0;
}

// The compressed blocks of one sample as the source of its frames: PrepareSample's one read
// decodes them from the stream they lie in straight into the sample's block, so that the frames
// are never held twice.
class CompressedSource final : public SampleSource {
public:
    CompressedSource(void* stream, std::uint32_t width, bool doubleDelta,
                     std::span<std::uint8_t> block)
        : stream_(stream), width_(width), doubleDelta_(doubleDelta), block_(block) {}

    // The frames present are counted before the read (FramesPresent), not measured here.
    std::optional<std::uint64_t> BytesLeft() override { return std::nullopt; }

    // Decodes block after block until the whole frames `out` holds are there. FramesPresent has
    // counted them in the same blocks; should the stream still end first, the rest is 0.
    void Read(std::span<std::uint8_t> out) override;

private:
    void* stream_;  // at the next block
    std::uint32_t width_;
    bool doubleDelta_;
    std::span<std::uint8_t> block_;  // room for the largest block
};

// How values are read at one bit width: `mask` keeps the width's bits; the values from
// `markerLow` to `markerLow` + `markerSpan` announce a new width, and the others are deltas,
// sign-extended from the width as (value ^ signBit) - signBit (signBit 0 at the widths that
// need no extension); a refilled bit window holds at least `perWindow` values.
struct WidthRules {
    std::uint64_t mask;
    std::uint32_t markerLow;
    std::uint32_t markerSpan;
    std::uint32_t signBit;
    std::size_t perWindow;
};

template <int SampleBits>
constexpr WidthRules RulesFor(int bitWidth) {
    constexpr int topWidth = SampleBits + 1;
    constexpr std::uint32_t markerHalf = SampleBits == 16 ? 8 : 4;  // markers: border +- this
    constexpr std::uint32_t valueMask = (1u << SampleBits) - 1;
    const std::uint64_t mask = (std::uint64_t{1} << bitWidth) - 1;
    const std::uint32_t signBit = bitWidth < SampleBits ? 1u << (bitWidth - 1) : 0;
    const auto perWindow = static_cast<std::size_t>(BitReader::refilledBits / bitWidth);
    if (bitWidth <= 6) {
        // Narrow widths: the value with only its top bit set announces a new width.
        return {mask, 1u << (bitWidth - 1), 0, signBit, perWindow};
    }
    if (bitWidth < topWidth) {
        // Middle widths: a run of values around the top of the range names a new width.
        const std::uint32_t border = (valueMask >> (topWidth - bitWidth)) - markerHalf;
        return {mask, border + 1, 2 * markerHalf - 1, signBit, perWindow};
    }
    // The widest values: the top bit set announces a new width.
    return {mask, 1u << SampleBits, valueMask, signBit, perWindow};
}

// The running sums of a block: the values integrated once (2.14) and twice (2.15).
struct Sums {
    std::uint32_t once = 0;
    std::uint32_t twice = 0;
};

// Stores the low bits of a sum as frame `k`.
template <bool Wide>
void Store(std::uint8_t* out, std::size_t k, std::uint32_t sum) {
    if constexpr (Wide) {
        WriteLe16(out + 2 * k, static_cast<std::uint16_t>(sum));
    } else {
        out[k] = static_cast<std::uint8_t>(sum);
    }
}

// Decodes up to `run` values at `bitWidth` from `bits`, stopping at the first marker, into `out`
// and returns how many it decoded. The sums run on in 32 bits, of which only the sample's low
// bits are stored. The rules come by value: stores through `out` could alias a referenced
// table, which would then be read again for every value.
template <bool Wide, bool DoubleDelta>
std::size_t DecodeRun(std::uint64_t bits, std::size_t run, int bitWidth, const WidthRules rules,
                      std::uint8_t* out, Sums& sums) {
    std::uint32_t once = sums.once;
    std::uint32_t twice = sums.twice;
    std::size_t k = 0;
    for (; k < run; ++k) {
        const auto value = static_cast<std::uint32_t>(bits & rules.mask);
        if (value - rules.markerLow <= rules.markerSpan) break;
        bits >>= bitWidth;
        once += (value ^ rules.signBit) - rules.signBit;
        if constexpr (DoubleDelta) twice += once;
        Store<Wide>(out, k, DoubleDelta ? twice : once);
    }
    sums = {once, twice};
    return k;
}

// Decodes `count` deltas of 0 into `out`.
template <bool Wide, bool DoubleDelta>
void RepeatRun(std::uint8_t* out, std::size_t count, Sums& sums) {
    if constexpr (!DoubleDelta && !Wide) {
        std::memset(out, static_cast<std::uint8_t>(sums.once), count);
    } else {
        for (std::size_t k = 0; k < count; ++k) {
            if constexpr (DoubleDelta) sums.twice += sums.once;
            Store<Wide>(out, k, DoubleDelta ? sums.twice : sums.once);
        }
    }
}

// RulesFor every width of the scheme, 1 to the widest, at [width - 1]: a change of width looks
// them up rather than working them out (with a division) again.
template <int SampleBits>
constexpr auto rulesByWidth = [] {
    std::array<WidthRules, SampleBits + 1> rules{};
    for (int width = 1; width <= SampleBits + 1; ++width) {
        rules[static_cast<std::size_t>(width - 1)] = RulesFor<SampleBits>(width);
    }
    return rules;
}();

// Decodes up to `count` frames of one block into `out` and returns how many it decoded: all of
// them, or fewer when a width outside the scheme ends the block. The values that the bit window
// holds at the current width go in one run, up to the first marker.
template <bool Wide, bool DoubleDelta>
std::size_t DecodeValues(BitReader& reader, std::uint8_t* out, std::size_t count) {
    constexpr int sampleBits = Wide ? 16 : 8;
    constexpr int topWidth = sampleBits + 1;      // the widest values, and the starting width
    constexpr int widthFieldBits = Wide ? 4 : 3;  // the field that follows a narrow marker
    constexpr std::size_t frameBytes = Wide ? 2 : 1;
    int bitWidth = topWidth;
    const WidthRules* rules = &rulesByWidth<sampleBits>[topWidth - 1];
    Sums sums;
    std::size_t done = 0;
    while (done < count) {
        if (bitWidth == 1) {
            // One bit a value, 0 a delta of 0 and 1 the marker: silence, often long stretches.
            const std::size_t zeros = reader.SkipZeros(count - done);
            RepeatRun<Wide, DoubleDelta>(out + frameBytes * done, zeros, sums);
            done += zeros;
            if (done == count) break;
        } else {
            reader.Refill();
            const std::size_t run = std::min(rules->perWindow, count - done);
            const std::size_t k = DecodeRun<Wide, DoubleDelta>(
                reader.window(), run, bitWidth, *rules, out + frameBytes * done, sums);
            reader.Skip(static_cast<int>(k) * bitWidth);
            done += k;
            if (k == run) continue;
        }

        // A marker: the new width follows from it.
        const std::uint32_t value = reader.Read(bitWidth);
        if (bitWidth <= 6) {
            bitWidth = NextWidth(reader.Read(widthFieldBits) + 1, bitWidth);
        } else if (bitWidth < topWidth) {
            bitWidth = NextWidth(value - rules->markerLow + 1, bitWidth);
        } else {
            // The low byte + 1 is the new width.
            bitWidth = static_cast<int>((value + 1) & 0xFF);
            if (bitWidth == 0 || bitWidth > topWidth) break;  // not a width of the scheme
        }
        rules = &rulesByWidth<sampleBits>[static_cast<std::size_t>(bitWidth - 1)];
    }
    return done;
}

void CompressedSource::Read(std::span<std::uint8_t> out) {
    const auto frames = static_cast<std::uint32_t>(out.size() / width_);
    std::uint32_t done = 0;
    while (done < frames) {
        std::array<std::uint8_t, 2> head{};
        if (ReadBytes(stream_, head) < head.size()) break;
        const auto stated = block_.first(ReadLe16(head.data()));
        const auto bits = stated.first(ReadBytes(stream_, stated));
        const std::uint32_t now = std::min(BlockFrames(width_, bits.size()), frames - done);
        const auto target = out.subspan(std::size_t{done} * width_, std::size_t{now} * width_);
        DecodeCompressedBlock(bits, target, width_, doubleDelta_);
        done += now;
    }
    std::fill(out.begin() + std::ptrdiff_t{done} * width_, out.end(), std::uint8_t{0});
}

}  // namespace

void DecodeCompressedBlock(std::span<const std::uint8_t> bits, std::span<std::uint8_t> frames,
                           std::uint32_t width, bool doubleDelta) {
    const std::size_t count = frames.size() / width;
    BitReader reader(bits);
    std::size_t done = 0;
    if (width == 2) {
        done = doubleDelta ? DecodeValues<true, true>(reader, frames.data(), count)
                           : DecodeValues<true, false>(reader, frames.data(), count);
    } else {
        done = doubleDelta ? DecodeValues<false, true>(reader, frames.data(), count)
                           : DecodeValues<false, false>(reader, frames.data(), count);
    }
    std::fill(frames.begin() + static_cast<std::ptrdiff_t>(done * width), frames.end(),
              std::uint8_t{0});
}

int PrepareCompressedSample(SampleHeader& header, std::uint8_t*& data, void* stream,
                            bool doubleDelta, SampleEncoding encoding) {
    // The decoded frames are all there is to read: a compressed sample is never a fixed
    // looped buffer, which would read 65,536 frames whatever the data holds.
    header.flags2 &= static_cast<std::uint8_t>(~fixedLoopBuffer);
    const std::uint32_t width = SampleWidth(header);
    const std::uint32_t frames = FramesPresent(stream, header.length, width);
    NoteCompressedSample();
    if (frames < header.length) NoteSampleCut(header.length - frames);
    header.length = frames;
    if (frames == 0) return PrepareSample(header, data, stream, encoding);  // nothing to read
    if (std::uint64_t{frames} * width > std::numeric_limits<std::int32_t>::max()) {
        return ResultNoSampleMemory;
    }

    WorkBuffer block(largestBlockBytes, WorkBuffer::Fill::none);  // read before use
    if (!block) return ResultNoMemory;
    CompressedSource source(stream, width, doubleDelta, block.span());
    return PrepareSample(header, data, source, encoding);
}

}  // namespace tunepak
