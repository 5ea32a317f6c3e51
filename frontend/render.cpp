#include "render.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "container/container.h"
#include "driver.h"
#include "io/endian.h"
#include "io/memory_file.h"
#include "loaders/loaders.h"
#include "model/player.h"
#include "platform.h"
#include "player/playback.h"

namespace tunepak {
namespace {

constexpr const char* usageText =
    "Usage : tunepak-render [--rate HZ] [--seconds S] [--loop] [-o OUT.wav|-] FILE\n";

constexpr const char* helpText =
    "Plays a packed .vmz module, an AM module or any module tunepak converts, as the game's\n"
    "player plays it, into a 16-bit stereo WAVE file (or raw PCM on standard output).\n"
    "  --rate HZ     frames per second, 8000 to 192000 (default 44100)\n"
    "  --seconds S   stop after S seconds (default: at the end of the song)\n"
    "  --loop        a jump back or the end of the song starts it over (needs --seconds\n"
    "                unless the output is '-')\n"
    "  -o OUT.wav    the WAVE file to write (default: <Base>.wav in the current directory)\n"
    "  -o -          raw interleaved 16-bit little-endian stereo PCM on standard output\n"
    "Exit code 0 when done, 1 on wrong arguments, 2 when the module cannot be loaded or the\n"
    "output cannot be written, 3 when the file cannot be opened.\n";

constexpr std::uint32_t defaultRate = 44100;
constexpr std::size_t blockFrames = 4096;
// The largest number of frames a WAVE file can say it holds.
constexpr std::uint64_t maxWaveFrames = (0xFFFFFFFFull - 36) / 4;

struct Options {
    std::uint32_t rate = defaultRate;
    std::optional<double> seconds;
    bool loop = false;
    std::string output;
    std::string input;
};

struct ModelRelease {
    ~ModelRelease() { ReleaseModule(); }
};

int Usage() {
    std::fprintf(stderr, "%s", usageText);
    return exitUsage;
}

template <class Number>
bool ParseNumber(std::string_view text, Number& value) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && stop == end;
}

// Reads the options; an exit code when the program should end at once.
std::optional<int> ParseOptions(int argc, const char* const* argv, Options& options) {
    std::vector<std::string_view> files;
    for (int i = 0; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (const auto answered =
                AnswerHelpOrVersion(argument, "tunepak-render", usageText, helpText)) {
            return *answered;
        } else if (argument == "--loop") {
            options.loop = true;
        } else if (argument == "--rate" && hasValue) {
            const std::string_view value = argv[++i];
            if (!ParseNumber(value, options.rate) || options.rate < 8000 ||
                options.rate > 192000) {
                std::fprintf(stderr, "tunepak-render: --rate wants 8000 to 192000, not '%s'\n",
                             argv[i]);
                return Usage();
            }
        } else if (argument == "--seconds" && hasValue) {
            double seconds = 0;
            if (!ParseNumber(std::string_view(argv[++i]), seconds) || !(seconds > 0) ||
                seconds > 86400) {
                std::fprintf(stderr,
                             "tunepak-render: --seconds wants a number above 0 and at most "
                             "86400, not '%s'\n",
                             argv[i]);
                return Usage();
            }
            options.seconds = seconds;
        } else if (argument == "-o" && hasValue) {
            options.output = argv[++i];
        } else if (argument.size() > 1 && argument[0] == '-') {
            std::fprintf(stderr, "tunepak-render: unknown or incomplete option '%s'\n", argv[i]);
            return Usage();
        } else {
            files.push_back(argument);
        }
    }
    if (files.size() != 1) return Usage();
    options.input = files.front();
    if (options.output.empty()) options.output = OutputBaseName(options.input) + ".wav";
    if (options.loop && !options.seconds && options.output != "-") {
        std::fprintf(stderr, "tunepak-render: --loop plays on for ever; give --seconds\n");
        return Usage();
    }
    return std::nullopt;
}

// Shows on standard error how far the render is out of `total` frames (nothing for 0).
class Progress {
public:
    explicit Progress(std::uint64_t total) : total_(total) {}
    void Show(std::uint64_t done) {
        if (total_ == 0) return;
        const int percent = static_cast<int>(std::min<std::uint64_t>(done * 100 / total_, 100));
        if (percent == last_) return;
        last_ = percent;
        char bar[41];
        const int filled = percent * 40 / 100;
        std::memset(bar, '#', static_cast<std::size_t>(filled));
        std::memset(bar + filled, '.', static_cast<std::size_t>(40 - filled));
        bar[40] = '\0';
        std::fprintf(stderr, "\r[%s] %3d%%", bar, percent);
    }
    ~Progress() {
        if (last_ >= 0) std::fputs("\n", stderr);
    }

private:
    std::uint64_t total_;
    int last_ = -1;
};

// Where the rendered bytes go: a WAVE file that takes the place of the named one only once it is
// whole, so that a render that fails or is interrupted leaves no part of a file (and an earlier
// file as it was); or, without a file, raw PCM on standard output.
struct RenderOutput {
    platform::ReplacingFile* file = nullptr;

    bool Write(std::span<const std::uint8_t> bytes) const {
        if (file != nullptr) return file->Write(bytes);
        return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
    }
};

// Renders into `output`; false when writing fails.
bool Render(const Options& options, const RenderOutput& output) {
    const bool raw = output.file == nullptr;
    std::uint64_t limit = options.seconds
                              ? static_cast<std::uint64_t>(*options.seconds * options.rate)
                              : ~std::uint64_t{0};
    if (!raw && limit > maxWaveFrames && options.seconds) {
        std::fprintf(stderr, "tunepak-render: a WAVE file holds at most %llu seconds at this "
                     "rate; the file ends there\n",
                     static_cast<unsigned long long>(maxWaveFrames / options.rate));
    }
    if (!raw) limit = std::min(limit, maxWaveFrames);
    // The bar, on a terminal only, needs the song's length: one pass without mixing.
    const bool bar = isatty(fileno(stderr)) != 0 && !(options.loop && !options.seconds);
    const std::uint64_t expected = !bar          ? 0
                                   : options.loop ? limit
                                                  : SongFrames(options.rate, limit);

    auto playback = std::make_unique<Playback>();
    StartPlayback(*playback, PlaybackSettings{options.rate, options.loop});
    bool ok = true;
    if (!raw) ok = output.Write(WaveHeader(0, options.rate));
    std::vector<std::int16_t> samples(2 * blockFrames);
    std::vector<std::uint8_t> bytes(4 * blockFrames);
    std::uint64_t written = 0;
    Progress progress(expected);
    while (ok && written < limit) {
        const std::size_t want = static_cast<std::size_t>(
            std::min<std::uint64_t>(blockFrames, limit - written));
        const std::size_t got =
            RenderFrames(*playback, std::span(samples).first(2 * want));
        for (std::size_t i = 0; i < 2 * got; ++i) {
            WriteLe16(&bytes[2 * i], static_cast<std::uint16_t>(samples[i]));
        }
        ok = output.Write(std::span(bytes).first(4 * got));
        written += got;
        progress.Show(written);
        if (got < want) break;
    }
    if (raw) return ok && std::fflush(stdout) == 0;
    return ok && output.file->WriteAt(0, WaveHeader(written, options.rate)) &&
           output.file->Commit();
}

}  // namespace

std::array<std::uint8_t, 44> WaveHeader(std::uint64_t frames, std::uint32_t rate) {
    const auto dataBytes = static_cast<std::uint32_t>(std::min(frames, maxWaveFrames) * 4);
    std::array<std::uint8_t, 44> header{};
    std::memcpy(header.data(), "RIFF", 4);
    WriteLe32(&header[4], 36 + dataBytes);
    std::memcpy(&header[8], "WAVEfmt ", 8);
    WriteLe32(&header[16], 16);        // format chunk length
    WriteLe16(&header[20], 1);         // PCM
    WriteLe16(&header[22], 2);         // channels
    WriteLe32(&header[24], rate);
    WriteLe32(&header[28], rate * 4);  // bytes per second
    WriteLe16(&header[32], 4);         // bytes per frame
    WriteLe16(&header[34], 16);        // bits per sample
    std::memcpy(&header[36], "data", 4);
    WriteLe32(&header[40], dataBytes);
    return header;
}

std::optional<std::string> LoadForPlaying(const std::string& path) {
    const UniqueFile file = platform::OpenRegularFile(path);
    if (!file) return "cannot open";
    std::array<char, 4> id{};
    const bool packed = std::fread(id.data(), 1, id.size(), file.get()) == id.size() &&
                        id == containerId;
    std::rewind(file.get());
    char buffer[32];
    if (!packed) {
        const int result = LoadModule(file.get(), StreamFile);
        if (result != ResultOk) return std::string(LoadFailure(result, buffer));
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    std::array<std::uint8_t, 65536> block;
    for (std::size_t got; (got = std::fread(block.data(), 1, block.size(), file.get())) > 0;) {
        bytes.insert(bytes.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(got));
    }
    const UnpackedModule unpacked = UnpackModule(bytes);
    if (unpacked.outOfMemory) return "out of memory";
    if (!unpacked.recovered) {
        return unpacked.damage.empty() ? "damaged packed module" : unpacked.damage.front().text;
    }
    const UniqueFile image = OpenMemoryFile(unpacked.image.span().first(unpacked.imageLength));
    if (!image) return "out of memory";
    const int result = LoadModule(image.get(), StreamFile);
    if (result != ResultOk) {
        return "image does not load: " + std::string(LoadFailure(result, buffer));
    }
    return std::nullopt;
}

int RunTunepakRender(int argc, const char* const* argv) {
    Options options;
    if (const std::optional<int> exitCode = ParseOptions(argc, argv, options)) return *exitCode;

    if (const UniqueFile probe = platform::OpenRegularFile(options.input); !probe) {
        std::fprintf(stderr, "tunepak-render: cannot open '%s'\n", options.input.c_str());
        return exitNotFound;
    }
    ModelRelease release;
    if (const std::optional<std::string> failure = LoadForPlaying(options.input)) {
        std::fprintf(stderr, "tunepak-render: %s: %s\n", options.input.c_str(),
                     failure->c_str());
        return exitFailed;
    }
    if (options.output == "-") {
        platform::UseBinaryStandardOutput();
        if (!Render(options, RenderOutput{})) {
            std::fprintf(stderr, "tunepak-render: cannot write to standard output\n");
            return exitFailed;
        }
        return exitDone;
    }
    platform::ReplacingFile file(options.output);
    if (!Render(options, RenderOutput{&file})) {
        std::fprintf(stderr, "tunepak-render: cannot write '%s'\n", options.output.c_str());
        return exitFailed;
    }
    return exitDone;
}

}  // namespace tunepak
