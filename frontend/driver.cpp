#include "driver.h"

#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "container.h"
#include "io/memory_file.h"
#include "loaders/loaders.h"
#include "model/player.h"
#include "wildcard.h"
#include "writer/writer.h"

#ifndef TUNEPAK_VERSION
#define TUNEPAK_VERSION "unknown"
#endif

namespace tunepak {

namespace {

constexpr const char* usageText = "Usage : tunepak <SourceFile.ext>\n";

constexpr const char* helpText =
    "Converts tracker modules (MOD, S3M, XM, IT, MTM, 669, STM, FAR, ULT, PTM and AM) into\n"
    "packed .vmz modules in the current directory. The file name may hold the wildcards\n"
    "'*' and '?'; quote it so that the shell passes it on unexpanded.\n";

// Serialises and packs the loaded model into `outputName`, releasing the model once it is
// serialised; returns the packed size, or an empty reason when it fails.
const char* SaveModel(const std::string& outputName, std::size_t& packedSize) {
    const std::uint64_t imageSize = WriteModule(nullptr, StreamFile);
    if (imageSize > largestImage) return "out of memory";
    WorkBuffer image(static_cast<std::size_t>(imageSize), WorkBuffer::Fill::none);  // written whole
    if (!image) return "out of memory";
    WriteModule(image.data(), StreamMemory);
    // The image holds the whole module now: the model's memory can serve the compressed bytes.
    ReleaseModule();
    PackedModule packed;
    if (!PackModule(image.span(), packed)) return "out of memory";
    image = WorkBuffer();
    if (!WritePackedFile(outputName, packed)) return nullptr;
    packedSize = packed.FileSize();
    return "";
}

enum class Outcome { converted, failed, notFound };

Outcome ConvertOne(const std::string& path) {
    const std::string base = OutputBaseName(path);
    const std::string outputName = base + ".vmz";
    std::printf("%-10s (", base.c_str());

    UniqueFile source(std::fopen(path.c_str(), "rb"));
    struct stat info {};
    if (!source || fstat(fileno(source.get()), &info) != 0 || S_ISDIR(info.st_mode)) {
        std::printf("Not found: '%s'...\n", path.c_str());
        return Outcome::notFound;
    }
    std::printf("%u Kb", SizeFigure(static_cast<unsigned long long>(info.st_size)));

    const int result = LoadModule(source.get(), StreamFile);
    source.reset();
    std::printf(" -> ");
    if (result != ResultOk) {
        char buffer[32];
        std::printf("failed: %s)\n", LoadFailure(result, buffer));
        ReleaseModule();
        return Outcome::failed;
    }

    std::size_t packedSize = 0;
    const char* failure = SaveModel(outputName, packedSize);
    ReleaseModule();
    if (failure == nullptr) {
        std::printf("failed: cannot write %s)\n", outputName.c_str());
        return Outcome::failed;
    }
    if (*failure != '\0') {
        std::printf("failed: %s)\n", failure);
        return Outcome::failed;
    }
    std::printf("%u Kb)\n", SizeFigure(packedSize));
    return Outcome::converted;
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
    const std::size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
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

void KeepFreedMemoryForNextFile() {
    // Blocks up to the largest that the heap serves (32 MB) come from the heap rather than from
    // maps of their own, and up to 256 MB of free heap stays mapped.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
}

int RunTunepak(int argc, const char* const* argv) {
    if (argc == 1) {
        const std::string_view argument = argv[0];
        if (argument == "--help" || argument == "-h") {
            std::printf("%s%s", usageText, helpText);
            return exitDone;
        }
        if (argument == "--version") {
            std::printf("tunepak %s\n", TUNEPAK_VERSION);
            return exitDone;
        }
    }
    if (argc != 1) {
        std::printf("%s", usageText);
        return exitUsage;
    }
    const std::string argument = argv[0];
    const std::size_t slash = argument.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : argument.substr(0, slash + 1);
    const std::string pattern = argument.substr(directory.size());

    std::printf("Converting \"%s\"\n", argument.c_str());
    const std::vector<std::string> matches = FindMatches(directory, pattern);
    if (matches.empty()) {
        std::fflush(stdout);
        std::fprintf(stderr, "tunepak: no file matches '%s'\n", argument.c_str());
        return exitDone;
    }
    int exitCode = exitDone;
    for (const std::string& name : matches) {
        switch (ConvertOne(directory + name)) {
            case Outcome::converted: break;
            case Outcome::failed: exitCode = exitFailed; break;
            case Outcome::notFound: return exitNotFound;
        }
    }
    return exitCode;
}

}  // namespace tunepak
