#include "module_maker.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>

#include "byte_writer.h"
#include "io/memory_file.h"
#include "io/services.h"
#include "loaders/loaders.h"
#include "loaders/mod_common.h"
#include "model/player.h"
#include "writer/writer.h"

namespace tunepak::bench {

namespace {

using test::BitWriter;
using test::ByteWriter;

// A small deterministic generator, so that every run benchmarks the same modules.
class Random {
public:
    explicit Random(std::uint32_t seed) : state_(seed * 2654435761u + 1) {}
    std::uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint32_t>(n)); }

private:
    std::uint32_t state_;
};

// One pattern cell, before a format gives it its bytes.
struct Cell {
    bool note = false;   // a note with its instrument
    int pitch = 0;       // 0..59, five octaves from the lowest that every format has
    int instrument = 1;  // 1-based
    int volume = -1;     // 0..64, -1 none
    int effect = 0;      // 0..15 in the MOD numbering; 0 with parameter 0 is none
    int parameter = 0;

    bool HasEffect() const { return effect != 0 || parameter != 0; }
};

// A pattern grid of rows x channels cells, about two in three cells busy.
std::vector<Cell> MakeCells(int rows, int channels, int instruments, std::uint32_t seed) {
    Random random(seed);
    std::vector<Cell> cells(static_cast<std::size_t>(rows) * channels);
    for (Cell& cell : cells) {
        if (random.Below(3) == 0) continue;
        cell.note = random.Below(2) == 0;
        cell.pitch = 12 + random.Below(36);
        cell.instrument = 1 + random.Below(instruments);
        if (random.Below(2) == 0) cell.volume = random.Below(65);
        if (random.Below(2) == 0) {
            constexpr std::array<int, 8> common = {0, 1, 2, 3, 4, 10, 12, 15};
            cell.effect = common[static_cast<std::size_t>(random.Below(8))];
            cell.parameter = cell.effect == 15 ? 1 + random.Below(31) : random.Below(256);
            if (cell.effect == 12) cell.parameter = random.Below(65);
        }
    }
    return cells;
}

// Writes a grid of 64 rows as packed rows: each row's cells through `writeCell(channel, cell)`,
// which writes nothing for an empty one, then the zero that ends the row.
template <typename WriteCell>
void WritePackedRows(ByteWriter& w, const std::vector<Cell>& cells, int channels,
                     WriteCell writeCell) {
    for (int row = 0; row < 64; ++row) {
        for (int c = 0; c < channels; ++c) {
            writeCell(c, cells[static_cast<std::size_t>(row * channels + c)]);
        }
        w.U8(0);
    }
}

constexpr std::string_view title = "benchmark module";

// How a format stores sample frames: signed, unsigned, or delta-coded (byte or word deltas).
enum class Storage { plain, unsignedData, byteDeltas, wordDeltas };

// The frames of generated sample `sample` (its tone and noise), `count` of `width` bytes, stored
// as `storage` says.
Bytes StoredSample(int sample, std::uint32_t count, std::uint32_t width,
                   Storage storage = Storage::plain) {
    Bytes frames = SampleFrames(count, width, static_cast<std::uint32_t>(sample));
    switch (storage) {
        case Storage::plain: break;
        case Storage::unsignedData:
            for (std::size_t i = width - 1; i < frames.size(); i += width) frames[i] ^= 0x80;
            break;
        case Storage::byteDeltas: {
            std::uint8_t previous = 0;
            for (std::uint8_t& byte : frames) {
                const std::uint8_t value = byte;
                byte = static_cast<std::uint8_t>(value - previous);
                previous = value;
            }
            break;
        }
        case Storage::wordDeltas: {
            std::uint16_t previous = 0;
            for (std::size_t i = 0; i + 1 < frames.size(); i += 2) {
                const auto value = static_cast<std::uint16_t>(frames[i] | (frames[i + 1] << 8));
                const auto delta = static_cast<std::uint16_t>(value - previous);
                frames[i] = static_cast<std::uint8_t>(delta);
                frames[i + 1] = static_cast<std::uint8_t>(delta >> 8);
                previous = value;
            }
            break;
        }
    }
    return frames;
}

// Every other sample is 16-bit where a format has them; every third loops, and of those every
// other one ping-pongs where a format can say so.
std::uint32_t WidthOf(int sample, bool formatHasSixteenBits) {
    return formatHasSixteenBits && sample % 2 == 1 ? 2 : 1;
}
bool Loops(int sample) { return sample % 3 == 0; }
bool PingPongs(int sample) { return sample % 6 == 0; }

// --- MOD -----------------------------------------------------------------------------------------

Bytes MakeMod(const Shape& shape) {
    const auto& [patterns, channels, samples, frames] = shape;
    const std::uint32_t evenFrames = frames & ~1u;  // a MOD length counts words
    ByteWriter w;
    w.Text(title, 20);
    for (int s = 0; s < 31; ++s) {
        const bool present = s < samples;
        w.Text("sample", 22).U16Be(present ? evenFrames / 2 : 0).U8(s % 16).U8(64);
        const bool loops = present && Loops(s);
        w.U16Be(loops ? evenFrames / 4 : 0).U16Be(loops ? evenFrames / 4 : 1);
    }
    w.U8(static_cast<unsigned>(patterns)).U8(0);
    for (int k = 0; k < 128; ++k) w.U8(k < patterns ? static_cast<unsigned>(k) : 0);
    if (channels == 4) {
        w.Text("M.K.", 4);
    } else {
        w.U8('0' + static_cast<unsigned>(channels / 10))
            .U8('0' + static_cast<unsigned>(channels % 10))
            .Text("CH", 2);
    }
    for (int p = 0; p < patterns; ++p) {
        for (const Cell& cell : MakeCells(64, channels, samples, static_cast<std::uint32_t>(p))) {
            const unsigned period =
                cell.note ? ModPeriods[static_cast<std::size_t>(cell.pitch)] : 0;
            const unsigned instrument = cell.note ? static_cast<unsigned>(cell.instrument) : 0;
            w.U8((instrument & 0x10) | (period >> 8)).U8(period & 0xFF);
            w.U8(((instrument & 0x0F) << 4) | static_cast<unsigned>(cell.effect));
            w.U8(static_cast<unsigned>(cell.parameter));
        }
    }
    for (int s = 0; s < samples; ++s) w.Raw(StoredSample(s, evenFrames, 1));
    return w.bytes();
}

// --- S3M and PTM: packed rows of flagged cells
// ----------------------------------------------------

// S3M note byte: octave in the high nibble, semitone in the low one.
unsigned OctaveNote(int pitch) {
    return static_cast<unsigned>(((pitch / 12 + 2) << 4) | (pitch % 12));
}

// The letter commands A.. of S3M for the common MOD effects.
unsigned S3mLetter(int effect) {
    switch (effect) {
        case 1: return 'F' - '@';
        case 2: return 'E' - '@';
        case 3: return 'G' - '@';
        case 4: return 'H' - '@';
        case 10: return 'D' - '@';
        case 15: return 'A' - '@';
        default: return 'J' - '@';
    }
}

Bytes MakeS3m(const Shape& shape) {
    const auto& [patterns, channels, samples, frames] = shape;
    ByteWriter w;
    w.Text(title, 28).U8(0x1A).U8(16).U16(0);
    w.U16(static_cast<unsigned>(patterns)).U16(static_cast<unsigned>(samples));
    w.U16(static_cast<unsigned>(patterns)).U16(0).U16(0x1320).U16(2).Text("SCRM", 4);
    w.U8(64).U8(6).U8(125).U8(0xB0).U8(0).U8(0).Fill(8).U16(0);
    for (int c = 0; c < 32; ++c) {
        w.U8(c < channels ? static_cast<unsigned>(c % 2 == 0 ? c / 2 % 8 : 8 + c / 2 % 8) : 0xFF);
    }
    for (int k = 0; k < patterns; ++k) w.U8(static_cast<unsigned>(k));
    const std::size_t pointers = w.size();
    w.Fill(2 * static_cast<std::size_t>(samples + patterns));
    std::vector<std::size_t> headers;
    for (int s = 0; s < samples; ++s) {
        w.Align(16);
        w.PutU16At(pointers + 2 * static_cast<std::size_t>(s),
                   static_cast<unsigned>(w.size() / 16));
        headers.push_back(w.size());
        const std::uint32_t width = WidthOf(s, true);
        const unsigned flags = (Loops(s) ? 1u : 0u) | (width == 2 ? 4u : 0u);
        w.U8(1).Text("sample.raw", 12).U8(0).U16(0).U32(frames);
        w.U32(Loops(s) ? frames / 2 : 0).U32(Loops(s) ? frames : 0);
        w.U8(64).U8(0).U8(0).U8(flags).U32(8363).Fill(12).Text("sample", 28).Text("SCRS", 4);
    }
    for (int p = 0; p < patterns; ++p) {
        w.Align(16);
        w.PutU16At(pointers + 2 * static_cast<std::size_t>(samples + p),
                   static_cast<unsigned>(w.size() / 16));
        const std::size_t start = w.size();
        w.U16(0);
        const auto cells = MakeCells(64, channels, samples, static_cast<std::uint32_t>(p));
        WritePackedRows(w, cells, channels, [&w](int c, const Cell& cell) {
            const unsigned flag = (cell.note ? 0x20u : 0u) | (cell.volume >= 0 ? 0x40u : 0u) |
                                  (cell.HasEffect() ? 0x80u : 0u);
            if (flag == 0) return;
            w.U8(flag | static_cast<unsigned>(c));
            if (cell.note) w.U8(OctaveNote(cell.pitch)).U8(static_cast<unsigned>(cell.instrument));
            if (cell.volume >= 0) w.U8(static_cast<unsigned>(cell.volume));
            if (cell.HasEffect()) {
                w.U8(S3mLetter(cell.effect)).U8(static_cast<unsigned>(cell.parameter));
            }
        });
        w.PutU16At(start, static_cast<unsigned>(w.size() - start));
    }
    for (int s = 0; s < samples; ++s) {
        w.Align(16);
        w.PutU16At(headers[static_cast<std::size_t>(s)] + 14, static_cast<unsigned>(w.size() / 16));
        const std::uint32_t width = WidthOf(s, true);
        w.Raw(StoredSample(s, frames, width, Storage::unsignedData));
    }
    return w.bytes();
}

Bytes MakePtm(const Shape& shape) {
    const auto& [patterns, channels, samples, frames] = shape;
    ByteWriter w;
    w.Text(title, 28).U8(0x1A).U16(0x0203).U8(0);
    w.U16(static_cast<unsigned>(patterns)).U16(static_cast<unsigned>(samples));
    w.U16(static_cast<unsigned>(patterns)).U16(static_cast<unsigned>(channels)).U16(0).U16(0);
    w.Text("PTMF", 4).Fill(16);
    for (int c = 0; c < 32; ++c) w.U8(c % 2 == 0 ? 3 : 12);
    for (int k = 0; k < 256; ++k) w.U8(k < patterns ? static_cast<unsigned>(k) : 0xFF);
    const std::size_t paragraphs = w.size();
    w.Fill(2 * 128);
    const std::size_t sampleRecords = w.size();
    w.Fill(80 * static_cast<std::size_t>(samples));
    for (int p = 0; p < patterns; ++p) {
        w.Align(16);
        w.PutU16At(paragraphs + 2 * static_cast<std::size_t>(p),
                   static_cast<unsigned>(w.size() / 16));
        const auto cells = MakeCells(64, channels, samples, static_cast<std::uint32_t>(p));
        WritePackedRows(w, cells, channels, [&w](int c, const Cell& cell) {
            const unsigned flag = (cell.note ? 0x20u : 0u) | (cell.HasEffect() ? 0x40u : 0u) |
                                  (cell.volume >= 0 ? 0x80u : 0u);
            if (flag == 0) return;
            w.U8(flag | static_cast<unsigned>(c));
            if (cell.note) {
                w.U8(static_cast<unsigned>(cell.pitch + 25))
                    .U8(static_cast<unsigned>(cell.instrument));
            }
            if (cell.HasEffect()) {
                w.U8(static_cast<unsigned>(cell.effect)).U8(static_cast<unsigned>(cell.parameter));
            }
            if (cell.volume >= 0) w.U8(static_cast<unsigned>(cell.volume));
        });
    }
    for (int s = 0; s < samples; ++s) {
        w.Align(16);
        const std::uint32_t width = WidthOf(s, true);
        const std::uint32_t bytes = frames * width;
        ByteWriter record;
        const unsigned type =
            1u | (Loops(s) ? 4u : 0u) | (PingPongs(s) ? 8u : 0u) | (width == 2 ? 16u : 0u);
        record.U8(type)
            .Text("sample.raw", 12)
            .U8(64)
            .U16(8363)
            .U16(0)
            .U32(static_cast<std::uint32_t>(w.size()));
        record.U32(bytes).U32(Loops(s) ? bytes / 2 : 0).U32(Loops(s) ? bytes : 0).Fill(14);
        record.Text("sample", 28).Text("PTMS", 4);
        std::copy(record.bytes().begin(), record.bytes().end(),
                  w.bytes().begin() + static_cast<std::ptrdiff_t>(
                                          sampleRecords + 80 * static_cast<std::size_t>(s)));
        w.Raw(StoredSample(s, frames, width, Storage::byteDeltas));
    }
    return w.bytes();
}

// --- XM ------------------------------------------------------------------------------------------

Bytes MakeXm(const Shape& shape) {
    const auto& [patterns, channels, instruments, frames] = shape;
    ByteWriter w;
    w.Text("Extended Module: ", 17).Text(title, 20).U8(0x1A).Text("tunepak bench", 20).U16(0x0104);
    w.U32(276).U16(static_cast<unsigned>(std::min(patterns, 256))).U16(0);
    w.U16(static_cast<unsigned>(channels)).U16(static_cast<unsigned>(patterns));
    w.U16(static_cast<unsigned>(instruments)).U16(1).U16(6).U16(125);
    for (int k = 0; k < 256; ++k) w.U8(k < patterns ? static_cast<unsigned>(k) : 0);
    for (int p = 0; p < patterns; ++p) {
        ByteWriter packed;
        for (const Cell& cell :
             MakeCells(64, channels, instruments, static_cast<std::uint32_t>(p))) {
            const bool effect = cell.HasEffect();
            unsigned mask = 0x80;
            if (cell.note) mask |= 0x03;
            if (cell.volume >= 0) mask |= 0x04;
            if (effect) mask |= 0x18;
            packed.U8(mask);
            if (cell.note) {
                packed.U8(static_cast<unsigned>(cell.pitch + 25))
                    .U8(static_cast<unsigned>(cell.instrument));
            }
            if (cell.volume >= 0) packed.U8(static_cast<unsigned>(0x10 + cell.volume));
            if (effect) {
                packed.U8(static_cast<unsigned>(cell.effect))
                    .U8(static_cast<unsigned>(cell.parameter));
            }
        }
        w.U32(9).U8(0).U16(64).U16(static_cast<unsigned>(packed.size())).Raw(packed.bytes());
    }
    for (int i = 0; i < instruments; ++i) {
        const std::uint32_t width = WidthOf(i, true);
        const std::uint32_t bytes = frames * width;
        w.U32(4 + 239).Text("instrument", 22).U8(0).U16(1).U32(40).Fill(96);
        for (int point = 0; point < 12; ++point) {
            w.U16(static_cast<unsigned>(point * 8)).U16(64 - static_cast<unsigned>(point) * 4);
        }
        w.Fill(12 * 4);
        w.U8(6).U8(0).U8(2).U8(0).U8(5).U8(0).U8(0).U8(0).U8(1).U8(0);
        w.U8(0).U8(0).U8(0).U8(0).U16(256).U16(0);
        const unsigned type =
            (Loops(i) ? (PingPongs(i) ? 2u : 1u) : 0u) | (width == 2 ? 0x10u : 0u);
        w.U32(bytes).U32(Loops(i) ? bytes / 2 : 0).U32(Loops(i) ? bytes / 2 : 0);
        w.U8(64).U8(0).U8(type).U8(128).U8(0).U8(0).Text("sample", 22);
        w.Raw(StoredSample(i, frames, width,
                           width == 2 ? Storage::wordDeltas : Storage::byteDeltas));
    }
    return w.bytes();
}

// --- IT ------------------------------------------------------------------------------------------

Bytes MakeIt(const Shape& shape, bool compressed) {
    const auto& [patterns, channels, samples, frames] = shape;
    ByteWriter w;
    w.Text("IMPM", 4).Text(title, 26).U16(0);
    w.U16(static_cast<unsigned>(patterns + 1)).U16(0).U16(static_cast<unsigned>(samples));
    w.U16(static_cast<unsigned>(patterns)).U16(0x0215).U16(0x0214).U16(0x09).U16(0);
    w.U8(128).U8(48).U8(6).U8(125).U8(128).U8(0).U16(0).U32(0).U32(0);
    for (int c = 0; c < 64; ++c) w.U8(c % 2 == 0 ? 16 : 48);
    w.Fill(64, 64);
    for (int k = 0; k < patterns; ++k) w.U8(static_cast<unsigned>(k));
    w.U8(255);
    const std::size_t sampleTable = w.size();
    const std::size_t patternTable = sampleTable + 4 * static_cast<std::size_t>(samples);
    w.Fill(4 * static_cast<std::size_t>(samples + patterns));
    std::vector<std::size_t> headers;
    for (int s = 0; s < samples; ++s) {
        w.PutU32At(sampleTable + 4 * static_cast<std::size_t>(s),
                   static_cast<std::uint32_t>(w.size()));
        headers.push_back(w.size());
        const std::uint32_t width = WidthOf(s, true);
        const unsigned flags = 0x01u | (width == 2 ? 0x02u : 0u) | (compressed ? 0x08u : 0u) |
                               (Loops(s) ? 0x10u : 0u) | (PingPongs(s) ? 0x40u : 0u);
        const unsigned convert = 0x01u | (compressed && s % 4 < 2 ? 0x04u : 0u);
        w.Text("IMPS", 4).Text("sample.raw", 12).U8(0).U8(64).U8(flags).U8(64).Text("sample", 26);
        w.U8(convert).U8(32).U32(frames);
        w.U32(Loops(s) ? frames / 2 : 0).U32(Loops(s) ? frames : 0).U32(8363);
        w.U32(0).U32(0).U32(0).U32(0);
    }
    for (int s = 0; s < samples; ++s) {
        w.PutU32At(headers[static_cast<std::size_t>(s)] + 72, static_cast<std::uint32_t>(w.size()));
        const std::uint32_t width = WidthOf(s, true);
        const Bytes stored = StoredSample(s, frames, width);
        w.Raw(compressed ? CompressItSample(stored, width, s % 4 < 2) : stored);
    }
    for (int p = 0; p < patterns; ++p) {
        w.PutU32At(patternTable + 4 * static_cast<std::size_t>(p),
                   static_cast<std::uint32_t>(w.size()));
        ByteWriter packed;
        const auto cells = MakeCells(64, channels, samples, static_cast<std::uint32_t>(p));
        WritePackedRows(packed, cells, channels, [&packed](int c, const Cell& cell) {
            const unsigned mask = (cell.note ? 0x03u : 0u) | (cell.volume >= 0 ? 0x04u : 0u) |
                                  (cell.HasEffect() ? 0x08u : 0u);
            if (mask == 0) return;
            packed.U8(static_cast<unsigned>(c + 1) | 0x80).U8(mask);
            if (cell.note) {
                packed.U8(static_cast<unsigned>(cell.pitch + 36))
                    .U8(static_cast<unsigned>(cell.instrument));
            }
            if (cell.volume >= 0) packed.U8(static_cast<unsigned>(cell.volume));
            if (cell.HasEffect()) {
                packed.U8(S3mLetter(cell.effect)).U8(static_cast<unsigned>(cell.parameter));
            }
        });
        w.U16(static_cast<unsigned>(packed.size())).U16(64).U32(0).Raw(packed.bytes());
    }
    return w.bytes();
}

// --- MTM -----------------------------------------------------------------------------------------

Bytes MakeMtm(const Shape& shape) {
    const auto& [patterns, channels, samples, frames] = shape;
    const int tracks = patterns * channels;  // one track of its own for every pattern channel
    ByteWriter w;
    w.Text("MTM", 3).U8(0x10).Text(title, 20).U16(static_cast<unsigned>(tracks));
    w.U8(static_cast<unsigned>(patterns - 1)).U8(static_cast<unsigned>(patterns - 1)).U16(0);
    w.U8(static_cast<unsigned>(samples)).U8(0).U8(64).U8(static_cast<unsigned>(channels));
    for (int c = 0; c < 32; ++c) w.U8(c % 2 == 0 ? 3 : 12);
    for (int s = 0; s < samples; ++s) {
        const std::uint32_t width = WidthOf(s, true);
        const std::uint32_t bytes = frames * width;
        w.Text("sample", 22).U32(bytes).U32(Loops(s) ? bytes / 2 : 0).U32(Loops(s) ? bytes : 0);
        w.U8(0).U8(64).U8(width == 2 ? 1 : 0);
    }
    for (int k = 0; k < 128; ++k) w.U8(k < patterns ? static_cast<unsigned>(k) : 0);
    for (int p = 0; p < patterns; ++p) {
        const auto cells = MakeCells(64, channels, samples, static_cast<std::uint32_t>(p));
        for (int c = 0; c < channels; ++c) {
            for (int row = 0; row < 64; ++row) {
                const Cell& cell = cells[static_cast<std::size_t>(row * channels + c)];
                const unsigned note = cell.note ? static_cast<unsigned>(cell.pitch + 1) : 0;
                const unsigned instrument = cell.note ? static_cast<unsigned>(cell.instrument) : 0;
                w.U8((note << 2) | (instrument >> 4))
                    .U8(((instrument & 0x0F) << 4) | static_cast<unsigned>(cell.effect));
                w.U8(static_cast<unsigned>(cell.parameter));
            }
        }
    }
    for (int p = 0; p < patterns; ++p) {
        for (int c = 0; c < 32; ++c) {
            w.U16(c < channels ? static_cast<unsigned>(p * channels + c + 1) : 0);
        }
    }
    for (int s = 0; s < samples; ++s) {
        const std::uint32_t width = WidthOf(s, true);
        w.Raw(StoredSample(s, frames, width, Storage::unsignedData));
    }
    return w.bytes();
}

// --- 669 -----------------------------------------------------------------------------------------

Bytes Make669(const Shape& shape) {
    const int samples = shape.samples;
    const int patterns = shape.patterns;
    ByteWriter w;
    w.Text("if", 2)
        .Text(title, 108)
        .U8(static_cast<unsigned>(samples))
        .U8(static_cast<unsigned>(patterns))
        .U8(0);
    for (int k = 0; k < 128; ++k) w.U8(k < patterns ? static_cast<unsigned>(k) : 0xFF);
    w.Fill(128, 6).Fill(128, 63);
    for (int s = 0; s < samples; ++s) {
        w.Text("sample.raw", 13).U32(shape.frames);
        w.U32(Loops(s) ? shape.frames / 2 : 0).U32(Loops(s) ? shape.frames : 0xFFFFF);
    }
    for (int p = 0; p < patterns; ++p) {
        for (const Cell& cell : MakeCells(64, 8, samples, static_cast<std::uint32_t>(p))) {
            const auto instrument = static_cast<unsigned>(cell.instrument - 1);
            const unsigned volume = cell.volume >= 0 ? static_cast<unsigned>(cell.volume) / 4 : 15;
            if (cell.note) {
                w.U8((static_cast<unsigned>(cell.pitch) << 2) | (instrument >> 4))
                    .U8(((instrument & 0x0F) << 4) | volume);
            } else {
                w.U8(cell.volume >= 0 ? 0xFE : 0xFF).U8(volume);
            }
            w.U8(cell.effect != 0
                     ? static_cast<unsigned>((cell.effect % 6) << 4 | (cell.parameter & 0x0F))
                     : 0xFF);
        }
    }
    for (int s = 0; s < samples; ++s) {
        w.Raw(StoredSample(s, shape.frames, 1, Storage::unsignedData));
    }
    return w.bytes();
}

// --- STM -----------------------------------------------------------------------------------------

Bytes MakeStm(const Shape& shape) {
    const int samples = shape.samples;
    const int patterns = shape.patterns;
    const std::uint32_t frames = shape.frames;
    ByteWriter w;
    w.Text(title, 20).Text("!Scream!", 8).U8(0x1A).U8(2).U8(2).U8(21).U8(0x60);
    w.U8(static_cast<unsigned>(patterns)).U8(64).Fill(13);
    const std::size_t records = w.size();
    for (int s = 0; s < 31; ++s) {
        const bool present = s < samples;
        w.Text("sample.raw", 12).U8(0).U8(0).U16(0).U16(present ? frames : 0);
        w.U16(present && Loops(s) ? frames / 2 : 0).U16(present && Loops(s) ? frames : 0xFFFF);
        w.U8(64).U8(0).U16(8363).Fill(6);
    }
    for (int k = 0; k < 128; ++k) w.U8(k < patterns ? static_cast<unsigned>(k) : 99);
    for (int p = 0; p < patterns; ++p) {
        for (const Cell& cell : MakeCells(64, 4, samples, static_cast<std::uint32_t>(p))) {
            const unsigned volume = cell.volume >= 0 ? static_cast<unsigned>(cell.volume) : 65;
            const unsigned instrument = cell.note ? static_cast<unsigned>(cell.instrument) : 0;
            w.U8(cell.note ? OctaveNote(cell.pitch) - 0x20 : 0xFF)
                .U8((instrument << 3) | (volume & 7));
            w.U8(((volume >> 3) << 4) | (cell.effect != 0 ? S3mLetter(cell.effect) % 12 : 0u));
            w.U8(static_cast<unsigned>(cell.parameter));
        }
    }
    for (int s = 0; s < samples; ++s) {
        w.Align(16);
        w.PutU16At(records + 32 * static_cast<std::size_t>(s) + 14,
                   static_cast<unsigned>(w.size() / 16));
        w.Raw(StoredSample(s, frames, 1));
    }
    return w.bytes();
}

// --- FAR -----------------------------------------------------------------------------------------

Bytes MakeFar(const Shape& shape) {
    const int samples = shape.samples;
    const int patterns = shape.patterns;
    constexpr std::size_t patternBytes = 2 + 64 * 16 * 4;
    ByteWriter w;
    w.Text("FAR\xFE", 4).Text(title, 40).Text("\r\n\x1A", 3).U16(98 + 771).U8(0x10);
    w.Fill(16, 1).Fill(9).U8(4);
    for (int c = 0; c < 16; ++c) w.U8(c % 2 == 0 ? 3 : 12);
    w.Fill(4).U16(0);
    for (int k = 0; k < 256; ++k) w.U8(k < patterns ? static_cast<unsigned>(k) : 0xFF);
    w.U8(static_cast<unsigned>(patterns)).U8(static_cast<unsigned>(patterns)).U8(0);
    for (int p = 0; p < 256; ++p) w.U16(p < patterns ? static_cast<unsigned>(patternBytes) : 0);
    for (int p = 0; p < patterns; ++p) {
        w.U8(62).U8(4);
        for (const Cell& cell : MakeCells(64, 16, samples, static_cast<std::uint32_t>(p))) {
            w.U8(cell.note ? static_cast<unsigned>(cell.pitch + 1) : 0);
            w.U8(static_cast<unsigned>(cell.instrument - 1));
            w.U8(cell.volume >= 0 ? static_cast<unsigned>(cell.volume) / 4 + 1 : 0);
            w.U8(cell.effect == 15 ? 0xF0u | (static_cast<unsigned>(cell.parameter) & 0x0F) : 0u);
        }
    }
    Bytes present(8, 0);
    for (int s = 0; s < samples; ++s) {
        present[static_cast<std::size_t>(s / 8)] |= static_cast<std::uint8_t>(1 << (s % 8));
    }
    w.Raw(present);
    for (int s = 0; s < samples; ++s) {
        const std::uint32_t width = WidthOf(s, true);
        const std::uint32_t bytes = shape.frames * width;
        w.Text("sample", 32).U32(bytes).U8(0).U8(64);
        w.U32(Loops(s) ? bytes / 2 : 0).U32(Loops(s) ? bytes : 0).U8(width == 2 ? 1 : 0);
        w.U8(Loops(s) ? 8 : 0);
        w.Raw(StoredSample(s, shape.frames, width));
    }
    return w.bytes();
}

// --- ULT -----------------------------------------------------------------------------------------

Bytes MakeUlt(const Shape& shape) {
    const auto& [patterns, channels, samples, frames] = shape;
    ByteWriter w;
    w.Text("MAS_UTrack_V00", 14).U8('4').Text(title, 32).U8(0).U8(static_cast<unsigned>(samples));
    for (int s = 0; s < samples; ++s) {
        const std::uint32_t width = WidthOf(s, true);
        const std::uint32_t bytes = frames * width;
        const unsigned flags =
            (width == 2 ? 4u : 0u) | (Loops(s) ? 8u : 0u) | (PingPongs(s) ? 16u : 0u);
        w.Text("sample", 32)
            .Text("sample.raw", 12)
            .U32(Loops(s) ? bytes / 2 : 0)
            .U32(Loops(s) ? bytes : 0);
        w.U32(0).U32(frames).U8(255).U8(flags).U16(0).U16(8363);
    }
    for (int k = 0; k < 256; ++k) w.U8(k < patterns ? static_cast<unsigned>(k) : 0xFF);
    w.U8(static_cast<unsigned>(channels - 1)).U8(static_cast<unsigned>(patterns - 1));
    for (int c = 0; c < channels; ++c) w.U8(c % 2 == 0 ? 3 : 12);
    std::vector<std::vector<Cell>> grids;
    for (int p = 0; p < patterns; ++p) {
        grids.push_back(MakeCells(64, channels, samples, static_cast<std::uint32_t>(p)));
    }
    for (int c = 0; c < channels; ++c) {
        for (int p = 0; p < patterns; ++p) {
            const auto& cells = grids[static_cast<std::size_t>(p)];
            for (int row = 0; row < 64;) {
                const Cell& cell = cells[static_cast<std::size_t>(row * channels + c)];
                int run = 1;
                // A run of cells without note or effect repeats the first.
                auto bare = [&](int r) {
                    const Cell& at = cells[static_cast<std::size_t>(r * channels + c)];
                    return !at.note && !at.HasEffect();
                };
                while (row + run < 64 && bare(row) && bare(row + run)) ++run;
                if (run > 1) w.U8(0xFC).U8(static_cast<unsigned>(run));
                const unsigned effect = static_cast<unsigned>(cell.effect);
                w.U8(cell.note ? static_cast<unsigned>(cell.pitch + 1) : 0);
                w.U8(cell.note ? static_cast<unsigned>(cell.instrument) : 0);
                w.U8(effect << 4).U8(static_cast<unsigned>(cell.parameter)).U8(0);
                row += run;
            }
        }
    }
    for (int s = 0; s < samples; ++s) {
        w.Raw(StoredSample(s, frames, WidthOf(s, true)));
    }
    return w.bytes();
}

// --- AM ------------------------------------------------------------------------------------------

// The writer's image of the XM module, loaded as the converter loads it.
Bytes MakeAm(const Shape& shape) {
    const Bytes xm = MakeXm(shape);
    const UniqueFile file = OpenMemoryFile(xm);
    Bytes image;
    if (file && LoadModule(file.get(), StreamFile) == ResultOk) {
        image.resize(static_cast<std::size_t>(WriteModule(nullptr, StreamFile)));
        WriteModule(image.data(), StreamMemory);
    }
    ReleaseModule();
    return image;
}

// --- IT sample compression -----------------------------------------------------------------------

// Compresses one block of deltas (already taken once or twice), announcing every change of bit
// width as the decoder expects it. The width widens as soon as a value needs it, to what the next
// few values need, and narrows when a run of values ahead fits at least two bits less; when not
// `adaptive`, every value goes at the widest width.
Bytes CompressBlock(std::span<const std::int32_t> deltas, bool wide, bool adaptive) {
    const int sampleBits = wide ? 16 : 8;
    const int topWidth = sampleBits + 1;
    const int widthFieldBits = wide ? 4 : 3;
    const std::uint32_t markerHalf = wide ? 8 : 4;
    const std::uint32_t valueMask = (1u << sampleBits) - 1;
    auto border = [&](int width) { return (valueMask >> (topWidth - width)) - markerHalf; };
    // Whether `delta` can be written at `width` without reading as a width change.
    auto fits = [&](std::int32_t delta, int width) {
        if (width == topWidth) return true;
        const std::int32_t low = -(1 << (width - 1));
        const std::int32_t high = (1 << (width - 1)) - 1;
        if (width < sampleBits && (delta < low || delta > high)) return false;
        const std::uint32_t value = static_cast<std::uint32_t>(delta) & ((1u << width) - 1);
        if (width <= 6) return value != 1u << (width - 1);
        return value <= border(width) || value > border(width) + 2 * markerHalf;
    };

    auto need = [&](std::int32_t delta) {
        int width = 1;
        while (!fits(delta, width)) ++width;
        return width;
    };
    // The widest need over the `count` values from `first` on.
    auto needAhead = [&](std::size_t first, std::size_t count) {
        int widest = 1;
        for (std::size_t i = first; i < std::min(deltas.size(), first + count); ++i) {
            widest = std::max(widest, need(deltas[i]));
        }
        return widest;
    };

    BitWriter bits;
    int width = topWidth;
    for (std::size_t i = 0; i < deltas.size(); ++i) {
        const std::int32_t delta = deltas[i];
        int wanted = width;
        if (!adaptive) {
            wanted = topWidth;
        } else if (!fits(delta, width)) {
            wanted = needAhead(i, 8);
        } else if (const int ahead = needAhead(i, 24); ahead < width - 1) {
            wanted = ahead;
        }
        if (wanted != width) {
            const auto choice = static_cast<std::uint32_t>(wanted < width ? wanted : wanted - 1);
            if (width <= 6) {
                bits.Put(1u << (width - 1), width);
                bits.Put(choice - 1, widthFieldBits);
            } else if (width < topWidth) {
                bits.Put(border(width) + choice, width);
            } else {
                bits.Put((1u << sampleBits) | static_cast<std::uint32_t>(wanted - 1), width);
            }
            width = wanted;
        }
        bits.Put(static_cast<std::uint32_t>(delta) &
                     ((width == topWidth ? valueMask : (1u << width) - 1)),
                 width);
    }
    return bits.bytes();
}

// The most that a format holds of each part of a shape: a module is made of the shape asked for,
// brought within these. A format of fixed channels ignores the shape's.
struct Limits {
    int patterns;
    int channels;
    int samples;  // instruments in XM
    std::uint32_t frames = std::numeric_limits<std::uint32_t>::max();
};

constexpr Limits modLimits = {128, 32, 31, 0x1FFFE};
constexpr Limits screamLimits = {100, 32, 99};
constexpr Limits xmLimits = {256, 32, 128};
constexpr Limits itLimits = {200, 64, 99};

// Each generated kind of module: the loader its format names in the format registry, the format's
// limits, and how it is made.
struct Maker {
    Format format;
    Loader loader;
    Limits limits;
    Bytes (*make)(const Shape& shape);
};

constexpr std::array<Maker, allFormats.size()> makers = {{
    {Format::mod, LoadMod, modLimits, MakeMod},
    {Format::s3m, LoadS3m, screamLimits, MakeS3m},
    {Format::xm, LoadXm, xmLimits, MakeXm},
    {Format::it, LoadIt, itLimits, [](const Shape& shape) { return MakeIt(shape, false); }},
    {Format::itCompressed, LoadIt, itLimits,
     [](const Shape& shape) { return MakeIt(shape, true); }},
    {Format::mtm, LoadMtm, {128, 32, 63}, MakeMtm},
    {Format::s669, Load669, {128, 8, 64}, Make669},
    {Format::stm, LoadStm, {64, 4, 31, 0xFFF0}, MakeStm},
    {Format::far, LoadFar, {255, 16, 64}, MakeFar},
    {Format::ult, LoadUlt, {256, 32, 128}, MakeUlt},
    {Format::ptm, LoadPtm, screamLimits, MakePtm},
    {Format::am, LoadAm, xmLimits, MakeAm},
}};

const Maker& MakerOf(Format format) {
    const auto found = std::find_if(makers.begin(), makers.end(), [format](const Maker& maker) {
        return maker.format == format;
    });
    return found != makers.end() ? *found : makers.front();
}

// The shape brought within a format's limits.
Shape Fit(const Shape& shape, const Limits& limits) {
    return {.patterns = std::clamp(shape.patterns, 1, limits.patterns),
            .channels = std::clamp(shape.channels, 1, limits.channels),
            .samples = std::clamp(shape.samples, 1, limits.samples),
            .frames = std::min(shape.frames, limits.frames)};
}

}  // namespace

const SourceFormat& SourceOf(Format format) { return *FormatOf(MakerOf(format).loader); }

std::string_view FormatName(Format format) {
    return format == Format::itCompressed ? "IT compressed" : SourceOf(format).name;
}

Bytes MakeModule(Format format, const Shape& shape) {
    const Maker& maker = MakerOf(format);
    return maker.make(Fit(shape, maker.limits));
}

Expected ExpectedContents(Format format, const Shape& shape) {
    const Shape fitted = Fit(shape, MakerOf(format).limits);
    return {fitted.patterns, fitted.samples};
}

Bytes SampleFrames(std::uint32_t count, std::uint32_t width, std::uint32_t seed) {
    Random random(seed);
    Bytes frames(std::size_t{count} * width);
    const double step = 2 * std::numbers::pi * (55.0 * (1 + seed % 7)) / 22050;
    const double full = width == 2 ? 32767 : 127;
    for (std::uint32_t i = 0; i < count; ++i) {
        const double tone = 0.6 * std::sin(step * i) + 0.25 * std::sin(3.01 * step * i);
        const double noise = 0.1 * (static_cast<double>(random.Next() % 2001) / 1000 - 1);
        const auto value = static_cast<std::int32_t>(std::lround((tone + noise) * full));
        frames[std::size_t{i} * width] = static_cast<std::uint8_t>(value);
        if (width == 2) frames[std::size_t{i} * 2 + 1] = static_cast<std::uint8_t>(value >> 8);
    }
    return frames;
}

Bytes CompressItSample(std::span<const std::uint8_t> frames, std::uint32_t width,
                       bool doubleDelta) {
    const bool wide = width == 2;
    const std::size_t count = frames.size() / width;
    const std::size_t perBlock = 0x8000 / width;
    const int sampleBits = wide ? 16 : 8;
    auto value = [&](std::size_t i) {
        const std::uint32_t raw = wide ? (frames[2 * i] | (frames[2 * i + 1] << 8)) : frames[i];
        return static_cast<std::int32_t>(raw << (32 - sampleBits)) >> (32 - sampleBits);
    };
    // The difference of two values, wrapped into the signed range of a sample.
    auto wrapped = [&](std::int32_t difference) {
        const auto shift = 32 - sampleBits;
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(difference) << shift) >> shift;
    };
    ByteWriter out;
    for (std::size_t first = 0; first < count; first += perBlock) {
        const std::size_t n = std::min(perBlock, count - first);
        std::vector<std::int32_t> deltas(n);
        std::int32_t previous = 0;
        std::int32_t previousDelta = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::int32_t delta = wrapped(value(first + i) - previous);
            previous = value(first + i);
            deltas[i] = doubleDelta ? wrapped(delta - previousDelta) : delta;
            previousDelta = delta;
        }
        Bytes block = CompressBlock(deltas, wide, true);
        // Width changes at nearly every value could overflow the 16-bit byte count.
        if (block.size() > 0xFFFF) block = CompressBlock(deltas, wide, false);
        out.Raw(test::CompressedBlock(block));
    }
    return out.bytes();
}

}  // namespace tunepak::bench
