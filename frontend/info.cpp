#include "info.h"


#include <algorithm>
#include <array>
#include <bitset>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <system_error>

#include "container/container.h"
#include "driver.h"
#include "io/memory_file.h"
#include "loaders/formats.h"
#include "loaders/loaders.h"
#include "model/model.h"
#include "model/patterns.h"
#include "model/player.h"
#include "player/playback.h"
#include "platform.h"
#include "writer/writer.h"

namespace tunepak {

namespace {

// Releases the model on every exit from an inspection.
struct ModelRelease {
    ~ModelRelease() { ReleaseModule(); }
};

const char* NameOf(Loader loader) {
    const SourceFormat* format = FormatOf(loader);
    return format != nullptr ? format->name.data() : "unknown";
}

template <std::size_t N, class Char>
std::string TextOf(const std::array<Char, N>& bytes) {
    const auto* begin = reinterpret_cast<const char*>(bytes.data());
    return std::string(begin, std::find(begin, begin + N, '\0'));
}

bool EndsWithVmz(const std::string& path) {
    if (path.size() < 4) return false;
    std::string extension = path.substr(path.size() - 4);
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return extension == ".vmz";
}

SampleSummary SummaryOf(const SampleHeader& header) {
    SampleSummary sample;
    sample.name = TextOf(header.name);
    sample.frames = header.length;
    sample.bits = header.flags & sixteenBit ? 16 : 8;
    if (header.flags & loop) {
        sample.loop = header.flags & pingPong ? LoopKind::pingPongLoop : LoopKind::forwardLoop;
    }
    sample.loopStart = header.loopStart;
    sample.loopEnd = header.loopEnd;
    sample.c5Rate = header.c5Rate;
    sample.volume = header.volume;
    sample.pan = header.pan;
    sample.usePan = header.flags & usePan;
    return sample;
}

// Loads a module from an open file as the converter does and captures it; the reason when the
// load fails.
std::optional<std::string> LoadAndCapture(std::FILE* file, std::optional<ModuleSummary>& module) {
    ModelRelease release;
    const int result = LoadModule(file, StreamFile);
    if (result != ResultOk) {
        char buffer[32];
        return std::string(LoadFailure(result, buffer));
    }
    module = CaptureModel();
    return std::nullopt;
}

void InspectSource(std::FILE* file, std::span<const std::uint8_t, probeSize> probe,
                   FileReport& report) {
    report.kind = FileKind::source;
    report.format = NameOf(ChooseLoader(probe));
    std::rewind(file);
    if (auto failure = LoadAndCapture(file, report.module)) {
        report.status = Status::failed;
        report.problems.push_back(*failure);
        return;
    }
    const std::span<const ConversionNote> notes = ConversionNotes();
    report.conversion.emplace(notes.begin(), notes.end());
}

// A UTF-8 name as a path, and back: the programs' names are UTF-8 on every system (a narrow
// std::string would be read in the system's code page on Windows).
std::filesystem::path Utf8Path(const std::string& name) {
    return std::filesystem::path(std::u8string(name.begin(), name.end()));
}

std::string Utf8Name(const std::filesystem::path& path) {
    const std::u8string name = path.u8string();
    return std::string(name.begin(), name.end());
}

// Writes the image into `directory` under the file's base name; like every output of these
// programs, the file appears whole or not at all.
void Extract(std::span<const std::uint8_t> image, const std::string& directory,
             FileReport& report) {
    const std::string name =
        Utf8Name(Utf8Path(directory) / Utf8Path(OutputBaseName(report.path) + ".am"));
    std::error_code error;
    std::filesystem::create_directories(Utf8Path(directory), error);
    platform::ReplacingFile file(name);
    if (file.Write(image) && file.Commit()) {
        report.extracted = name;
    } else {
        report.status = Status::failed;
        report.problems.push_back("cannot write " + name);
    }
}

void InspectPacked(std::FILE* file, std::uint64_t size, const InspectOptions& options,
                   FileReport& report) {
    report.kind = FileKind::packed;
    WorkBuffer bytes(static_cast<std::size_t>(size));
    if (!bytes) {
        report.status = Status::failed;
        report.problems.push_back("out of memory");
        return;
    }
    std::rewind(file);
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
    const UnpackedModule unpacked = UnpackModule(bytes.span().first(got));
    bytes = WorkBuffer();

    report.container = ContainerSummary{unpacked.fileSize, unpacked.header};
    for (const DamageReport& damage : unpacked.damage) report.problems.push_back(damage.text);
    if (!report.problems.empty()) report.status = Status::damaged;
    if (unpacked.outOfMemory) {
        report.status = Status::failed;
        report.problems.push_back("out of memory");
    }
    if (!unpacked.recovered) return;

    const std::span<const std::uint8_t> image = unpacked.image.span().first(unpacked.imageLength);
    if (image.size() < 12 || std::memcmp(image.data(), "RIFF", 4) != 0 ||
        std::memcmp(image.data() + 8, "AMFF", 4) != 0) {
        report.status = Status::damaged;
        report.problems.push_back("image is not an AM module");
    } else {
        // File mode over the image in memory: every read is bounded by the image's end, and the
        // model by the bound of the packed file's size, as the image is.
        const UniqueFile stream = OpenMemoryFile(image);
        const SampleBoundSource bound(unpacked.fileSize);
        if (!stream) {
            report.status = Status::failed;
            report.problems.push_back("out of memory");
        } else if (auto failure = LoadAndCapture(stream.get(), report.module)) {
            report.status = Status::damaged;
            report.problems.push_back("image does not load: " + *failure);
        }
    }
    if (options.extractDirectory) Extract(image, *options.extractDirectory, report);
}

}  // namespace

ModuleSummary CaptureModel() {
    ModuleSummary module;
    module.title = TextOf(song.title);
    module.amigaSlides = song.songFlags & amigaSlides;
    module.rowPacked = song.songFlags & rowPacked;
    module.channels = song.channelCount;
    module.pans.assign(song.channelPan.begin(),
                       song.channelPan.begin() + std::min<int>(song.channelCount, maxChannels));
    module.speed = song.initialSpeed;
    module.tempo = song.initialTempo;
    module.globalVolume = song.globalVolume;
    module.minPeriod = song.minPeriod;
    module.maxPeriod = song.maxPeriod;
    module.orders.assign(orderList.begin(), orderList.begin() + song.lastOrder + 1);
    module.playingMilliseconds = SongMilliseconds(playingTimeLimitSeconds);

    // The writer's selection: patterns 0..253, and the instruments that they name.
    std::bitset<128> used;
    for (std::size_t number = 0; number < 254; ++number) {
        const PatternSlot& slot = patternTable[number];
        if (slot.data == nullptr || slot.size == 0) continue;
        const std::span<const std::uint8_t> block(slot.data, slot.size);
        const PatternWalk walk = module.rowPacked ? WalkRowPacked(block) : WalkEventStream(block);
        used |= walk.usedInstruments;
        PatternSummary pattern;
        pattern.number = static_cast<int>(number);
        pattern.rows = module.rowPacked ? block[0] + 1 : 0;
        pattern.bytes.assign(block.begin(),
                             block.begin() + static_cast<std::ptrdiff_t>(walk.length));
        module.patternBytes += walk.length;
        module.patterns.push_back(std::move(pattern));
    }
    for (std::size_t i = 0; i < instrumentTable.size(); ++i) {
        std::uint8_t* block = instrumentTable[i].block;
        if (!IsInstrumentBlock(block)) continue;
        const InstrumentRecord& record = RecordOf(block);
        InstrumentSummary instrument;
        instrument.number = static_cast<int>(i) + 1;
        instrument.name = TextOf(record.name);
        if (!used[i]) {
            module.unwritten.push_back(std::move(instrument));
            continue;
        }
        for (std::size_t k = 0; k < record.sampleCount; ++k) {
            const SampleHeader& header = SampleOf(block, k);
            instrument.samples.push_back(SummaryOf(header));
            module.sampleBytes += std::uint64_t{header.length} * SampleWidth(header);
        }
        module.instruments.push_back(std::move(instrument));
    }
    module.imageBytes = WriteModule(nullptr, StreamFile);
    return module;
}

FileReport InspectFile(const std::string& path, const InspectOptions& options) {
    FileReport report;
    report.path = path;
    const UniqueFile file = platform::OpenRegularFile(path);
    const std::optional<platform::FileStamp> stamp =
        file ? platform::StampOf(file.get()) : std::nullopt;
    if (!stamp) {
        report.status = Status::failed;
        report.problems.push_back("cannot be opened");
        return report;
    }
    std::array<std::uint8_t, probeSize> probe{};
    const std::size_t got = std::fread(probe.data(), 1, probe.size(), file.get());
    constexpr std::size_t magicAt = offsetof(ContainerHeader, magic);
    const bool packed =
        EndsWithVmz(path) ||
        (got >= 4 && std::memcmp(probe.data(), containerId.data(), 4) == 0) ||
        (got >= magicAt + 4 && std::memcmp(probe.data() + magicAt, containerMagic.data(), 4) == 0);
    if (packed) {
        InspectPacked(file.get(), stamp->size, options, report);
    } else {
        InspectSource(file.get(), probe, report);
    }
    return report;
}

}  // namespace tunepak
