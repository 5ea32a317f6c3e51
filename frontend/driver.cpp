#include "driver.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "container/container.h"
#include "io/memory_file.h"
#include "loaders/formats.h"
#include "loaders/loaders.h"
#include "model/player.h"
#include "packing_pool.h"
#include "platform.h"
#include "wildcard.h"
#include "writer/writer.h"

namespace tunepak {

#ifdef TUNEPAK_VERSION
const char* const programVersion = TUNEPAK_VERSION;
#else
const char* const programVersion = "unknown";
#endif

namespace {

constexpr const char* usageText = "Usage : tunepak <SourceFile.ext>\n";

std::string HelpText() {
    return "Converts tracker modules (" + FormatList() +
           ") into\n"
           "packed .vmz modules in the current directory. The file name may hold the wildcards\n"
           "'*' and '?'; quote it so that the shell passes it on unexpanded.\n";
}

SourceOpenedHook sourceOpenedHook = nullptr;  // set once, before any file is opened

// Whether the file begins as a packed module does.
bool IsPackedModule(std::FILE* file) {
    std::array<std::uint8_t, 8> head{};
    std::rewind(file);
    return std::fread(head.data(), 1, head.size(), file) == head.size() &&
           StartsAsPackedModule(head);
}

// Why a loaded source is not converted; null when it is.
const char* WhyNotConverted(int result, std::FILE* source, char (&buffer)[32]) {
    if (result == ResultBadFile && IsPackedModule(source)) return "already a packed module";
    return result == ResultOk ? nullptr : LoadFailure(result, buffer);
}

// Loads the file `name` of `directory` and serialises the model into the job's image, releasing
// the model; or ends the job's line with why it cannot.
Job LoadOne(const std::string& directory, const std::string& name) {
    const std::string path = directory + name;
    const std::string base = OutputBaseName(path);
    Job job;
    job.line = base;
    job.line.resize(std::max<std::size_t>(base.size(), 10), ' ');
    job.line += " (";
    job.sourceName = name;
    job.outputName = base + ".vmz";

    UniqueFile source = platform::OpenRegularFile(path);
    const std::optional<platform::FileStamp> opened =
        source ? platform::StampOf(source.get()) : std::nullopt;
    if (!opened) {
        job.line.append("Not found: '").append(path).append("'...\n");
        job.outcome = Job::Outcome::notFound;
        return job;
    }
    job.line.append(std::to_string(SizeFigure(opened->size))).append(" Kb -> ");
    if (sourceOpenedHook != nullptr) sourceOpenedHook(path, opened->size);

    const int result = LoadModule(source.get(), StreamFile);
    const bool unchanged = platform::StampOf(source.get()) == opened;
    char buffer[32];
    const char* failure = unchanged ? WhyNotConverted(result, source.get(), buffer)
                                    : "source changed while being read";
    source.reset();
    if (failure != nullptr) {
        Fail(job, failure);
    } else if (const std::uint64_t imageSize = WriteModule(nullptr, StreamFile);
               imageSize <= largestImage) {
        job.image = WorkBuffer(static_cast<std::size_t>(imageSize), WorkBuffer::Fill::none);
        if (job.image) {
            WriteModule(job.image.data(), StreamMemory);  // written whole
        } else {
            Fail(job, "out of memory");
        }
    } else {
        Fail(job, "out of memory");
    }
    ReleaseModule();
    return job;
}

// The number of packing threads: TUNEPAK_JOBS, or as many as the machine runs at once. None
// when TUNEPAK_JOBS is not a number from 1 to PackingPool::mostThreads.
std::optional<unsigned> PackingThreads() {
    const char* const setting = std::getenv("TUNEPAK_JOBS");
    if (setting == nullptr) {
        return std::clamp(std::thread::hardware_concurrency(), 1u, PackingPool::mostThreads);
    }
    const std::string_view text = setting;
    unsigned threads = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), threads);
    if (error != std::errc() || end != text.data() + text.size() || threads < 1 ||
        threads > PackingPool::mostThreads) {
        return std::nullopt;
    }
    return threads;
}

}  // namespace

const char* LoadFailure(int result, char (&buffer)[32]) {
    switch (result) {
        case ResultBadFile: return "unrecognised or damaged module";
        case ResultNoMemory:
        case ResultNoPatternMemory:
        case ResultNoSampleMemory: return "out of memory";
        default: std::snprintf(buffer, sizeof buffer, "error %d", result); return buffer;
    }
}

std::string OutputBaseName(std::string_view path) {
    std::string_view name = path.substr(DirectoryPartLength(path));
    if (const std::size_t dot = name.rfind('.'); dot != std::string_view::npos) {
        name = name.substr(0, dot);
    }
    std::string base(name);
    for (char& c : base) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (!base.empty() && base[0] >= 'a' && base[0] <= 'z') {
        base[0] = static_cast<char>(base[0] - 'a' + 'A');
    }
    return base;
}

unsigned SizeFigure(unsigned long long bytes) { return static_cast<unsigned>((bytes + 512) / 1024); }

std::optional<int> AnswerHelpOrVersion(std::string_view argument, const char* program,
                                       const char* usage, const std::string& help) {
    if (argument == "--help" || argument == "-h") {
        std::printf("%s%s", usage, help.c_str());
        return exitDone;
    }
    if (argument == "--version") {
        std::printf("%s %s\n", program, programVersion);
        return exitDone;
    }
    return std::nullopt;
}

int RunTunepak(int argc, const char* const* argv) {
    if (argc == 1) {
        const std::optional<int> answered =
            AnswerHelpOrVersion(argv[0], "tunepak", usageText, HelpText());
        if (answered) return *answered;
    }
    if (argc != 1) {
        std::printf("%s", usageText);
        return exitUsage;
    }
    const std::string argument = argv[0];
    const std::string directory = argument.substr(0, DirectoryPartLength(argument));
    const std::string pattern = argument.substr(directory.size());

    const std::optional<unsigned> threads = PackingThreads();
    if (!threads) {
        std::fprintf(stderr,
                     "tunepak: TUNEPAK_JOBS must be a whole number from 1 to %u, not '%s'\n",
                     PackingPool::mostThreads, std::getenv("TUNEPAK_JOBS"));
        return exitUsage;
    }

    std::printf("Converting \"%s\"\n", argument.c_str());
    const std::vector<std::string> matches = FindMatches(directory, pattern);
    if (matches.empty()) {
        std::fflush(stdout);
        std::fprintf(stderr, "tunepak: no file matches '%s'\n", argument.c_str());
        return exitDone;
    }
    std::fflush(stdout);  // the packing threads print from here on
    PackingPool pool(*threads);
    for (const std::string& name : matches) {
        Job job = LoadOne(directory, name);
        const bool last = job.outcome == Job::Outcome::notFound;  // ends the run
        pool.Submit(std::move(job));
        if (last) break;
    }
    return pool.Finish();
}

int TunepakMain(int argc, char** argv, SourceOpenedHook sourceOpened) {
    sourceOpenedHook = sourceOpened;
    platform::GuardOutputFiles();
    platform::KeepFreedMemoryForNextFile();
    const platform::ProgramArguments arguments(argc, argv);
    return RunTunepak(arguments.Count(), arguments.Words());
}

}  // namespace tunepak
