// Writes the bundled example: a short original 4-channel MOD tune with synthesized samples
// (a square-wave bass, a soft triangle lead and a noise drum), so that the converter can be
// tried without bringing a module.
//
// usage: make_example OUTPUT.mod

#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void PutBe16(Bytes& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void PutText(Bytes& out, std::string_view text, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) out.push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0);
}

struct Sample {
    std::string_view name;
    Bytes frames;        // signed 8-bit
    unsigned volume;
    bool looped;         // loops over the whole sample
};

Sample Square() {
    Bytes frames(64);
    for (std::size_t i = 0; i < frames.size(); ++i) frames[i] = static_cast<std::uint8_t>(i < 32 ? 48 : -48);
    return {"square bass", frames, 48, true};
}

Sample Triangle() {
    Bytes frames(64);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const int phase = static_cast<int>(i);
        const int value = phase < 32 ? phase * 6 - 96 : (63 - phase) * 6 - 96;
        frames[i] = static_cast<std::uint8_t>(value);
    }
    return {"triangle lead", frames, 40, true};
}

Sample Drum() {
    Bytes frames(2048);
    std::uint32_t noise = 0x1234567;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        noise = noise * 1103515245u + 12345u;
        const int amplitude = 100 * static_cast<int>(frames.size() - i) / static_cast<int>(frames.size());
        const int value = static_cast<int>((noise >> 16) % 256) - 128;
        frames[i] = static_cast<std::uint8_t>(value * amplitude / 128);
    }
    return {"noise drum", frames, 64, false};
}

// Amiga periods of the notes the tune uses.
constexpr unsigned C2 = 428, D2 = 381, E2 = 339, G2 = 285, A2 = 254;
constexpr unsigned C1 = 856, F1 = 640, G1 = 570, A1 = 508;

struct Cell {
    unsigned period = 0;
    unsigned sample = 0;
    unsigned effect = 0;
    unsigned parameter = 0;
};

void PutCell(Bytes& out, const Cell& cell) {
    out.push_back(static_cast<std::uint8_t>((cell.sample & 0x10) | (cell.period >> 8)));
    out.push_back(static_cast<std::uint8_t>(cell.period));
    out.push_back(static_cast<std::uint8_t>(((cell.sample & 0x0F) << 4) | cell.effect));
    out.push_back(static_cast<std::uint8_t>(cell.parameter));
}

Bytes Pattern(unsigned root, const std::array<unsigned, 8>& melody) {
    Bytes out;
    for (unsigned row = 0; row < 64; ++row) {
        std::array<Cell, 4> cells{};
        if (row % 8 == 0) cells[0] = {root, 1, 0, 0};
        if (row % 8 == 4) cells[0] = {root / 2, 1, 0, 0};
        if (row % 4 == 0) cells[1] = {melody[(row / 4) % 8], 2, 0, 0};
        if (row % 4 == 2) cells[1].effect = 0xA, cells[1].parameter = 0x02;
        if (row % 8 == 0 || row % 16 == 10) cells[2] = {C2, 3, 0, 0};
        if (row == 0 && root == C1) cells[3] = {0, 0, 0xF, 5};
        for (const Cell& cell : cells) PutCell(out, cell);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_example OUTPUT.mod\n");
        return 1;
    }
    const std::array<Sample, 3> samples = {Square(), Triangle(), Drum()};

    Bytes out;
    PutText(out, "tunepak example", 20);
    for (std::size_t s = 0; s < 31; ++s) {
        if (s < samples.size()) {
            const Sample& sample = samples[s];
            PutText(out, sample.name, 22);
            PutBe16(out, static_cast<unsigned>(sample.frames.size() / 2));
            out.push_back(0);
            out.push_back(static_cast<std::uint8_t>(sample.volume));
            PutBe16(out, 0);
            PutBe16(out, sample.looped ? static_cast<unsigned>(sample.frames.size() / 2) : 1);
        } else {
            PutText(out, "", 22);
            PutBe16(out, 0);
            out.push_back(0);
            out.push_back(0);
            PutBe16(out, 0);
            PutBe16(out, 1);
        }
    }
    const std::array<std::uint8_t, 6> order = {0, 1, 2, 3, 0, 1};
    out.push_back(static_cast<std::uint8_t>(order.size()));
    out.push_back(0);
    for (std::size_t i = 0; i < 128; ++i) out.push_back(i < order.size() ? order[i] : 0);
    PutText(out, "M.K.", 4);

    const std::array<Bytes, 4> patterns = {
        Pattern(C1, {C2, E2, G2, E2, C2, E2, G2, A2}),
        Pattern(A1, {A2, E2, C2, E2, A2, G2, E2, D2}),
        Pattern(F1, {C2, D2, E2, G2, A2, G2, E2, D2}),
        Pattern(G1, {D2, G2, D2, E2, G2, A2, G2, D2}),
    };
    for (const Bytes& pattern : patterns) out.insert(out.end(), pattern.begin(), pattern.end());
    for (const Sample& sample : samples) out.insert(out.end(), sample.frames.begin(), sample.frames.end());

    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr || std::fwrite(out.data(), 1, out.size(), file) != out.size() || std::fclose(file) != 0) {
        std::fprintf(stderr, "make_example: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
