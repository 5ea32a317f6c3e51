// Converts modules as tunepak does, step by step, and reports the processor time of each step
// summed over all files. Its compress2 line is zlib's level-9 compression alone on exactly the
// images that tunepak compresses; tools/bench-corpus sets the whole tunepak run against it.
//
//   tunepak-stage-times [--out DIR] FILE...
//
// With --out the packed files are written into DIR (tunepak's names), as tunepak writes them.
// Output: one line per stage, "stage<TAB>seconds<TAB>bytes", then "files<TAB>count<TAB>converted".

#include <sys/stat.h>
#include <time.h>
#include <zlib.h>

#include <array>
#include <cstdio>
#include <string>
#include <string_view>

#include "container.h"
#include "driver.h"
#include "io/memory_file.h"
#include "io/services.h"
#include "platform.h"
#include "loaders/loaders.h"
#include "model/player.h"
#include "writer/writer.h"

namespace tunepak::bench {

namespace {

enum Stage { load, sizePass, imagePass, compress, container, save, release, stageCount };

constexpr std::array<const char*, stageCount> stageNames = {
    "load", "size pass", "image pass", "compress2", "container", "save", "release"};

double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Totals {
    std::array<double, stageCount> seconds{};
    std::array<std::uint64_t, stageCount> bytes{};
    int converted = 0;
};

// Charges the time since the last mark to `stage`.
class Clock {
public:
    explicit Clock(Totals& totals) : totals_(totals), last_(CpuSeconds()) {}
    void Charge(Stage stage, std::uint64_t bytes) {
        const double now = CpuSeconds();
        totals_.seconds[stage] += now - last_;
        totals_.bytes[stage] += bytes;
        last_ = now;
    }

private:
    Totals& totals_;
    double last_;
};

// One file, the driver's steps in the driver's order.
void Convert(const std::string& path, const char* outputDirectory, Totals& totals) {
    Clock clock(totals);
    UniqueFile source(std::fopen(path.c_str(), "rb"));
    struct stat info {};
    if (!source || fstat(fileno(source.get()), &info) != 0 || S_ISDIR(info.st_mode)) return;
    const auto sourceBytes = static_cast<std::uint64_t>(info.st_size);
    const int result = LoadModule(source.get(), StreamFile);
    source.reset();
    clock.Charge(load, sourceBytes);
    if (result == ResultOk) {
        const std::uint64_t imageSize = WriteModule(nullptr, StreamFile);
        clock.Charge(sizePass, imageSize);
        WorkBuffer image(static_cast<std::size_t>(imageSize), WorkBuffer::Fill::none);
        if (image && imageSize <= largestImage) {
            WriteModule(image.data(), StreamMemory);
            clock.Charge(imagePass, imageSize);
            ReleaseModule();
            clock.Charge(release, 0);

            PackedModule packed;
            packed.compressed =
                WorkBuffer(CompressedCapacity(image.size()), WorkBuffer::Fill::none);
            clock.Charge(container, 0);
            uLongf length = static_cast<uLongf>(packed.compressed.size());
            const int zlib = compress2(packed.compressed.data(), &length, image.data(),
                                       static_cast<uLong>(image.size()), Z_BEST_COMPRESSION);
            clock.Charge(compress, image.size());
            packed.compressedLength = length;
            SealPackedModule(packed, image.size());
            image = WorkBuffer();
            clock.Charge(container, length);

            if (zlib == Z_OK && outputDirectory != nullptr) {
                const std::string name =
                    std::string(outputDirectory) + "/" + OutputBaseName(path) + ".vmz";
                WritePackedFile(name, packed);
                clock.Charge(save, packed.FileSize());
            }
            ++totals.converted;
        }
    }
    ReleaseModule();
    clock.Charge(release, 0);
}

}  // namespace

}  // namespace tunepak::bench

int main(int argc, char** argv) {
    using namespace tunepak::bench;
    const char* outputDirectory = nullptr;
    int first = 1;
    if (argc > 2 && std::string_view(argv[1]) == "--out") {
        outputDirectory = argv[2];
        first = 3;
    }
    if (first >= argc) {
        std::fprintf(stderr, "usage: tunepak-stage-times [--out DIR] FILE...\n");
        return 1;
    }
    tunepak::platform::KeepFreedMemoryForNextFile();  // as tunepak does
    Totals totals;
    for (int i = first; i < argc; ++i) Convert(argv[i], outputDirectory, totals);
    for (std::size_t s = 0; s < stageCount; ++s) {
        std::printf("%s\t%.6f\t%llu\n", stageNames[s], totals.seconds[s],
                    static_cast<unsigned long long>(totals.bytes[s]));
    }
    std::printf("files\t%d\t%d\n", argc - first, totals.converted);
    return 0;
}
