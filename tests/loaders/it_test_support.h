// Building small IT modules and compressed sample data for the IT loader tests, and reading the
// loaded patterns back as events.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/patterns.h"
#include "test_support.h"

namespace tunepak::test {

struct ItSampleSpec {
    std::string name = "sample";
    std::uint8_t flags = 0x01;    // data present, 8-bit, no loop
    std::uint8_t volume = 64;
    std::uint8_t convert = 0x01;  // signed data
    std::uint8_t pan = 0x20;
    std::uint32_t length = 0;     // frames; 0 with data: the data's frames
    std::uint32_t loopBegin = 0;
    std::uint32_t loopEnd = 0;
    std::uint32_t c5Speed = 8363;
    std::uint8_t globalVolume = 64;
    std::uint8_t vibratoDepth = 0;
    Bytes data;
    bool tagged = true;           // "IMPS"
};

struct ItPatternSpec {
    int rows = 1;
    Bytes packed;
    std::optional<unsigned> packedLength;  // the length field, when not the data's size
};

// IT instrument record offsets.
inline constexpr std::size_t itNewNoteAction = 17;
inline constexpr std::size_t itFadeOut = 20;
inline constexpr std::size_t itPitchPanSeparation = 22;
inline constexpr std::size_t itGlobalVolume = 24;
inline constexpr std::size_t itDefaultPan = 25;
inline constexpr std::size_t itRandomVolume = 26;
inline constexpr std::size_t itRandomPan = 27;
inline constexpr std::size_t itFilterCutoff = 58;
inline constexpr std::size_t itKeyboard = 64;
inline constexpr std::size_t itVolumeEnvelope = 304;
inline constexpr std::size_t itPanningEnvelope = 386;
inline constexpr std::size_t itInstrumentSize = 554;

// An "IMPI" record whose keyboard gives note k the sample keyboard[k] (1-based; 0 = none), with
// the settings that Impulse Tracker gives a new instrument: new note action cut, global volume
// 128, the default pan not used.
inline Bytes ItInstrument(const std::string& name, const std::vector<std::uint8_t>& keyboard) {
    ByteWriter w;
    w.Text("IMPI", 4).PadTo(itGlobalVolume).U8(128).U8(0xA0);
    w.PadTo(32).Text(name, 26).PadTo(itKeyboard);
    for (std::size_t k = 0; k < 120; ++k) w.U8(static_cast<unsigned>(k)).U8(k < keyboard.size() ? keyboard[k] : 0);
    w.PadTo(itInstrumentSize);
    return w.bytes();
}

struct ItModule {
    std::string title = "it song";
    std::uint16_t flags = 0x08;  // linear slides, sample mode
    std::uint8_t globalVolume = 100;
    std::uint8_t speed = 5;
    std::uint8_t tempo = 140;
    std::vector<std::uint8_t> orders = {0, 255};
    std::array<std::uint8_t, 64> pans = FilledPans();
    std::array<std::uint8_t, 64> volumes = FullVolumes();
    std::vector<Bytes> instruments;  // whole records; an empty one gets offset 0
    std::vector<ItSampleSpec> samples;
    std::vector<std::optional<ItPatternSpec>> patterns;  // absent: offset 0

    static std::array<std::uint8_t, 64> FilledPans() {
        std::array<std::uint8_t, 64> pans{};
        pans.fill(32);
        return pans;
    }

    static std::array<std::uint8_t, 64> FullVolumes() {
        std::array<std::uint8_t, 64> volumes{};
        volumes.fill(64);
        return volumes;
    }

    Bytes Build() const {
        ByteWriter w;
        w.Text("IMPM", 4).Text(title, 26).PadTo(32);
        w.U16(static_cast<unsigned>(orders.size())).U16(static_cast<unsigned>(instruments.size()));
        w.U16(static_cast<unsigned>(samples.size())).U16(static_cast<unsigned>(patterns.size()));
        w.U16(0x0214).U16(0x0214).U16(flags).U16(0);
        w.U8(globalVolume).U8(48).U8(speed).U8(tempo).PadTo(64);
        w.Raw(pans).Raw(volumes);
        w.Raw(orders);
        const std::size_t instrumentTable = w.size();
        w.Fill(4 * (instruments.size() + samples.size() + patterns.size()));
        const std::size_t sampleTable = instrumentTable + 4 * instruments.size();
        const std::size_t patternTable = sampleTable + 4 * samples.size();

        for (std::size_t i = 0; i < instruments.size(); ++i) {
            if (instruments[i].empty()) continue;
            w.PutU32At(instrumentTable + 4 * i, static_cast<std::uint32_t>(w.size()));
            w.Raw(instruments[i]);
        }
        std::vector<std::size_t> headers;
        for (std::size_t s = 0; s < samples.size(); ++s) {
            const ItSampleSpec& entry = samples[s];
            const std::uint32_t width = (entry.flags & 0x02) ? 2 : 1;
            const std::uint32_t length = entry.length != 0 ? entry.length
                                         : static_cast<std::uint32_t>(entry.data.size() / width);
            w.PutU32At(sampleTable + 4 * s, static_cast<std::uint32_t>(w.size()));
            headers.push_back(w.size());
            w.Text(entry.tagged ? "IMPS" : "XXXX", 4).Fill(13).U8(entry.globalVolume);
            w.U8(entry.flags).U8(entry.volume);
            w.Text(entry.name, 26).U8(entry.convert).U8(entry.pan);
            w.U32(length).U32(entry.loopBegin).U32(entry.loopEnd).U32(entry.c5Speed).U32(0).U32(0);
            w.U32(0);  // data offset, set below
            w.U8(0).U8(entry.vibratoDepth).U8(0).U8(0);  // vibrato speed, depth, rate, type
        }
        for (std::size_t s = 0; s < samples.size(); ++s) {
            w.PutU32At(headers[s] + 72, static_cast<std::uint32_t>(w.size()));
            w.Raw(samples[s].data);
        }
        for (std::size_t p = 0; p < patterns.size(); ++p) {
            if (!patterns[p]) continue;
            w.PutU32At(patternTable + 4 * p, static_cast<std::uint32_t>(w.size()));
            const ItPatternSpec& layout = *patterns[p];
            w.U16(layout.packedLength.value_or(static_cast<unsigned>(layout.packed.size())));
            w.U16(static_cast<unsigned>(layout.rows)).U32(0).Raw(layout.packed);
        }
        return w.bytes();
    }
};

// One event of a loaded row-packed pattern.
struct Cell {
    int channel = 0;
    int command = -1;  // -1: no effect part
    int parameter = 0;
    int instrument = -1;  // -1: no instrument-and-note part
    int note = 0;
    int volume = -1;  // -1: no volume part

    bool operator==(const Cell&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Cell& c) {
    return out << "{ch " << c.channel << " fx " << c.command << "/" << c.parameter << " ins "
               << c.instrument << " note " << c.note << " vol " << c.volume << "}";
}

// The events of each row of pattern `number`.
inline std::vector<std::vector<Cell>> PatternCells(std::size_t number) {
    const auto block = Pattern(number);
    std::vector<std::vector<Cell>> rows;
    if (block.empty()) return rows;
    std::size_t at = 1;
    auto next = [&]() -> int { return at < block.size() ? block[at++] : -1000; };
    for (int row = 0; row <= block[0] && at < block.size(); ++row) {
        std::vector<Cell> cells;
        for (int flag = next(); flag > 0; flag = next()) {
            Cell cell{.channel = flag & 0x1F};
            if (flag & hasEffect) {
                cell.parameter = next();
                cell.command = next();
            }
            if (flag & hasNote) {
                cell.instrument = next();
                cell.note = next();
            }
            if (flag & hasVolume) cell.volume = next();
            cells.push_back(cell);
        }
        rows.push_back(cells);
    }
    EXPECT_EQ(at, block.size()) << "pattern " << number << " is not walked to its end";
    return rows;
}

}  // namespace tunepak::test
