// Inspection for tunepak-info: what a packed module or a source module holds, captured from the
// model into plain values, so that printing needs no loaded module.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "container/container.h"
#include "model/conversion_record.h"

namespace tunepak {

enum class LoopKind { noLoop, forwardLoop, pingPongLoop };

struct SampleSummary {
    std::string name;  // the stored bytes up to the first zero
    std::uint32_t frames = 0;
    int bits = 8;
    LoopKind loop = LoopKind::noLoop;
    std::uint32_t loopStart = 0;
    std::uint32_t loopEnd = 0;
    std::uint32_t c5Rate = 0;
    std::uint8_t volume = 0;
    std::uint8_t pan = 0;
    bool usePan = false;
};

struct InstrumentSummary {
    int number = 0;  // as patterns name it: slot + 1
    std::string name;
    std::vector<SampleSummary> samples;
};

struct PatternSummary {
    int number = 0;
    int rows = 0;                     // row-packed patterns; 0 for an event stream
    std::vector<std::uint8_t> bytes;  // the block as it is written
};

// The loaded model as the converter writes it: patterns 0..253, and only the instruments that
// some pattern names (the others are listed apart).
struct ModuleSummary {
    std::string title;
    bool amigaSlides = false;
    bool rowPacked = false;
    int channels = 0;
    std::vector<std::uint8_t> pans;
    int speed = 0;
    int tempo = 0;
    int globalVolume = 0;
    int minPeriod = 0;
    int maxPeriod = 0;
    std::vector<std::uint8_t> orders;
    std::vector<PatternSummary> patterns;
    std::vector<InstrumentSummary> instruments;
    std::vector<InstrumentSummary>
        unwritten;  // filled slots that no pattern names (no samples listed)
    std::uint64_t patternBytes = 0;
    std::uint64_t sampleBytes = 0;
    std::uint32_t imageBytes = 0;
    // How long the song plays to its end, as the player plays it (at most playingTimeLimit).
    std::uint64_t playingMilliseconds = 0;
};

// The longest playing time measured: a song that runs on (a jump back to a loop) is cut there.
inline constexpr std::uint32_t playingTimeLimitSeconds = 3 * 3600;

// Captures the loaded model.
ModuleSummary CaptureModel();

// A packed file's size and its header as it stands in the file.
struct ContainerSummary {
    std::uint64_t fileSize = 0;
    ContainerHeader header;
};

enum class FileKind { unreadable, packed, source };
enum class Status { ok, damaged, failed };

struct FileReport {
    std::string path;
    FileKind kind = FileKind::unreadable;
    std::string format;  // a source module's format, as detection chooses it
    Status status = Status::ok;
    std::vector<std::string> problems;  // what is damaged, or why the file failed
    std::optional<ContainerSummary> container;
    std::optional<ModuleSummary> module;
    // A source module's conversion notes: what loading it dropped or changed.
    std::optional<std::vector<ConversionNote>> conversion;
    std::string extracted;  // where the image was extracted to
};

struct InspectOptions {
    std::optional<std::string> extractDirectory;
};

// Inspects one file: a packed module (by its name ending in .vmz or by either magic of its
// header) is checked and its image loaded; anything else is loaded as the converter loads it.
// The model is released again before this returns.
FileReport InspectFile(const std::string& path, const InspectOptions& options);

}  // namespace tunepak
