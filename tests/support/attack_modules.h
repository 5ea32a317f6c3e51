// Small modules built to make the model hold many copies of one stored sample: the shapes that
// the bound on sample data has to stop. Each stores its sample data once, at the end of the
// file, as plain signed 8-bit frames, points every header or instrument at it, and plays every
// instrument in its one pattern, so that the image holds every copy too.
#pragma once

#include <cstddef>
#include <cstdint>

#include "test_support.h"

namespace tunepak::test::attack {

namespace detail {

// An IT song header with one pattern and the order list {0, end}; the offset tables follow.
inline ByteWriter ItHeader(bool instrumentMode, std::size_t instruments, std::size_t samples) {
    ByteWriter w;
    w.Text("IMPM", 4).Text("shared", 26).PadTo(32);
    w.U16(2).U16(static_cast<unsigned>(instruments)).U16(static_cast<unsigned>(samples)).U16(1);
    w.U16(0x0214).U16(0x0214).U16(instrumentMode ? 0x0C : 0x08).U16(0);
    w.U8(128).U8(48).U8(6).U8(125).PadTo(64).Fill(64, 32).Fill(64, 64);
    w.U8(0).U8(255);
    return w;
}

// `count` IT sample headers of `frames` frames each, all naming the data at `dataOffset`.
inline void ItSampleHeaders(ByteWriter& w, std::size_t count, std::uint32_t frames,
                            std::size_t dataOffset) {
    for (std::size_t s = 0; s < count; ++s) {
        w.Text("IMPS", 4).Fill(13).U8(64).U8(0x01).U8(64).Text("shared", 26).U8(0x01).U8(32);
        w.U32(frames).U32(0).U32(0).U32(8363).U32(0).U32(0);
        w.U32(static_cast<std::uint32_t>(dataOffset)).U32(0);
    }
}

// Sets the pattern offset at `table` and writes an IT pattern of one row for each of `count`
// instruments (at most 200), row i playing instrument i + 1 on the first channel.
inline void ItPattern(ByteWriter& w, std::size_t table, std::size_t count) {
    w.PutU32At(table, static_cast<std::uint32_t>(w.size()));
    w.U16(static_cast<unsigned>(5 * count)).U16(static_cast<unsigned>(count)).U32(0);
    for (std::size_t i = 0; i < count; ++i) {
        w.Raw({0x81, 0x03, 60}).U8(static_cast<unsigned>(i + 1)).U8(0);
    }
}

}  // namespace detail

// IT in instrument mode: `instruments` offsets all name one instrument whose keyboard plays
// `samples` samples, whose headers all name one stored block of `frames` bytes. Each instrument
// holds its own copy of each sample: instruments x samples copies of the block.
inline Bytes ItSharedInstruments(std::size_t instruments, std::size_t samples,
                                 std::uint32_t frames) {
    ByteWriter w = detail::ItHeader(true, instruments, samples);
    const std::size_t table = w.size();
    w.Fill(4 * (instruments + samples + 1));
    detail::ItPattern(w, table + 4 * (instruments + samples), instruments);
    const std::size_t instrument = w.size();
    for (std::size_t i = 0; i < instruments; ++i) {
        w.PutU32At(table + 4 * i, static_cast<std::uint32_t>(instrument));
    }
    w.Text("IMPI", 4).PadTo(instrument + 64);
    for (std::size_t k = 0; k < 120; ++k) w.U8(static_cast<unsigned>(k)).U8(k % samples + 1);
    w.PadTo(instrument + 554);
    const std::size_t headers = w.size();
    const std::size_t data = headers + 80 * samples;
    for (std::size_t s = 0; s < samples; ++s) {
        w.PutU32At(table + 4 * (instruments + s), static_cast<std::uint32_t>(headers + 80 * s));
    }
    detail::ItSampleHeaders(w, samples, frames, data);
    return w.Fill(frames, 0x40).bytes();
}

// IT in sample mode: `samples` headers, each an instrument of its own, all name one stored
// block of `frames` bytes.
inline Bytes ItSharedSampleMode(std::size_t samples, std::uint32_t frames) {
    ByteWriter w = detail::ItHeader(false, 0, samples);
    const std::size_t table = w.size();
    w.Fill(4 * (samples + 1));
    detail::ItPattern(w, table + 4 * samples, samples);
    const std::size_t headers = w.size();
    for (std::size_t s = 0; s < samples; ++s) {
        w.PutU32At(table + 4 * s, static_cast<std::uint32_t>(headers + 80 * s));
    }
    detail::ItSampleHeaders(w, samples, frames, headers + 80 * samples);
    return w.Fill(frames, 0x40).bytes();
}

// S3M: `instruments` instrument pointers all name one sample header, whose data is one stored
// block of `frames` bytes.
inline Bytes S3mSharedHeader(std::size_t instruments, std::uint32_t frames) {
    ByteWriter w;
    w.Text("shared", 28).U8(0x1A).U8(16).U16(0);
    w.U16(2).U16(static_cast<unsigned>(instruments)).U16(1);
    w.U16(0).U16(0x1320).U16(2).Text("SCRM", 4);
    w.U8(64).U8(6).U8(125).U8(0xB0).U8(0).U8(0).Fill(8).U16(0);
    w.Raw({0, 8, 1, 9}).Fill(28, 0xFF);
    w.U8(0).U8(255);
    const std::size_t pointers = w.size();
    w.Fill(2 * (instruments + 1)).PadTo((w.size() + 15) / 16 * 16);
    // The pattern: 64 rows of two channels, event i playing instrument i + 1 (at most 128).
    w.PutU16At(pointers + 2 * instruments, static_cast<unsigned>(w.size() / 16));
    const std::size_t pattern = w.size();
    w.U16(0);
    for (std::size_t row = 0; row < 64; ++row) {
        for (std::size_t channel = 0; channel < 2; ++channel) {
            const std::size_t i = 2 * row + channel;
            if (i < instruments) w.U8(0x20 | unsigned(channel)).U8(0x40).U8(unsigned(i + 1));
        }
        w.U8(0);
    }
    w.PutU16At(pattern, static_cast<unsigned>(w.size() - pattern));
    w.PadTo((w.size() + 15) / 16 * 16);
    for (std::size_t i = 0; i < instruments; ++i) {
        w.PutU16At(pointers + 2 * i, static_cast<unsigned>(w.size() / 16));
    }
    const std::size_t data = w.size() + 80;  // a paragraph boundary
    w.U8(1).Text("SHARED.SMP", 12).U8(static_cast<unsigned>(data >> 20));
    w.U16(static_cast<unsigned>(data / 16)).U32(frames).U32(0).U32(0);
    w.U8(64).U8(0).U8(0).U8(0).U32(8363).Fill(12).Text("shared", 28).Text("SCRS", 4);
    return w.Fill(frames, 0x40).bytes();
}

}  // namespace tunepak::test::attack
