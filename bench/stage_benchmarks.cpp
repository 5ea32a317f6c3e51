// The converter's stages one by one, on modules and samples that module_maker generates: loading
// each format, sample preparation, IT sample decoding, the writer's two passes and compression.
// Every benchmark reports the bytes it processes per second.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <zlib.h>

#include "container/container.h"
#include "io/memory_file.h"
#include "io/services.h"
#include "loaders/it_compression.h"
#include "loaders/loaders.h"
#include "model/player.h"
#include "module_maker.h"
#include "writer/writer.h"

namespace tunepak::bench {

namespace {

// --- Loading
// ---------------------------------------------------------------------------------------

// LoadModule in file mode, as the converter calls it, then ReleaseModule.
void Load(benchmark::State& state, Format format) {
    const Bytes module = MakeModule(format);
    const UniqueFile file = OpenMemoryFile(module);
    if (module.empty() || !file) {
        state.SkipWithError("the module could not be made");
        return;
    }
    for (auto _ : state) {
        std::rewind(file.get());
        const int result = LoadModule(file.get(), StreamFile);
        ReleaseModule();
        if (result != ResultOk) {
            state.SkipWithError("the module does not load");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * module.size()));
}

// --- Sample preparation
// ----------------------------------------------------------------------------

struct SampleCase {
    const char* name;
    std::uint8_t flags;
    std::uint32_t loopStart = 0;  // frames; a loop when loopEnd is nonzero
    std::uint32_t loopEnd = 0;
};

constexpr std::uint32_t sampleFrames = 1 << 20;

constexpr std::array<SampleCase, 11> sampleCases = {{
    {"signed8", 0},
    {"signed16", sixteenBit},
    {"unsigned8", unsignedSource},
    {"unsigned16", sixteenBit | unsignedSource},
    {"delta8", deltaSource},
    {"delta16words", sixteenBit | deltaSource | usePan},
    {"delta16bytes", sixteenBit | deltaSource},
    {"stereo8", stereoSource},
    {"stereo16delta", sixteenBit | stereoSource | deltaSource | usePan},
    {"forwardLoop16", sixteenBit | loop, sampleFrames / 2, sampleFrames},
    {"pingPongLoop16", sixteenBit | loop | pingPong, sampleFrames / 2, sampleFrames},
}};

// PrepareSample over frames in memory: allocation, the read, the conversion and the tail.
void Prepare(benchmark::State& state, const SampleCase& sample) {
    const std::uint32_t width = (sample.flags & sixteenBit) ? 2 : 1;
    Bytes source = SampleFrames(sampleFrames, width, 1);
    for (auto _ : state) {
        SampleHeader header{};
        header.length = sampleFrames;
        header.loopStart = sample.loopStart;
        header.loopEnd = sample.loopEnd;
        header.flags = sample.flags;
        std::uint8_t* data = nullptr;
        const int result = PrepareSample(header, data, InstallStreams(StreamMemory, source.data()));
        benchmark::DoNotOptimize(data);
        services.release(data);
        if (result != ResultOk) {
            state.SkipWithError("the sample was not prepared");
            break;
        }
    }
    InstallStreams(StreamFile, nullptr);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}

// --- IT sample decoding
// ----------------------------------------------------------------------------

// The blocks of a compressed sample decoded one after another; bytes are decoded frame bytes.
void ItDecode(benchmark::State& state, std::uint32_t width, bool doubleDelta) {
    const Bytes frames = SampleFrames(sampleFrames, width, 2);
    const Bytes compressed = CompressItSample(frames, width, doubleDelta);
    Bytes decoded(frames.size());
    for (auto _ : state) {
        std::size_t at = 0;
        for (std::size_t done = 0; done < decoded.size();) {
            const std::size_t length = compressed[at] | (compressed[at + 1] << 8);
            const std::size_t now = std::min<std::size_t>(0x8000, decoded.size() - done);
            DecodeCompressedBlock(std::span(compressed).subspan(at + 2, length),
                                  std::span(decoded).subspan(done, now), width, doubleDelta);
            at += 2 + length;
            done += now;
        }
        benchmark::DoNotOptimize(decoded.data());
    }
    if (decoded != frames) state.SkipWithError("decoding does not give the frames back");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frames.size()));
}

// --- Writing and compressing
// -----------------------------------------------------------------------

// The generated XM module loaded into the model for the writer, released on exit.
class LoadedModel {
public:
    LoadedModel() {
        const Bytes module = MakeModule(Format::xm);
        const UniqueFile file = OpenMemoryFile(module);
        loaded_ = file && LoadModule(file.get(), StreamFile) == ResultOk;
    }
    ~LoadedModel() { ReleaseModule(); }
    LoadedModel(const LoadedModel&) = delete;
    LoadedModel& operator=(const LoadedModel&) = delete;
    bool loaded() const { return loaded_; }

private:
    bool loaded_ = false;
};

void WriteSizePass(benchmark::State& state) {
    const LoadedModel model;
    std::uint64_t size = 0;
    for (auto _ : state) {
        size = WriteModule(nullptr, StreamFile);
        benchmark::DoNotOptimize(size);
    }
    if (!model.loaded()) state.SkipWithError("no model");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void WriteImagePass(benchmark::State& state) {
    const LoadedModel model;
    Bytes image(static_cast<std::size_t>(WriteModule(nullptr, StreamFile)));
    for (auto _ : state) {
        WriteModule(image.data(), StreamMemory);
        benchmark::DoNotOptimize(image.data());
    }
    if (!model.loaded()) state.SkipWithError("no model");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.size()));
}

// The image of the generated XM module.
Bytes XmImage() {
    const LoadedModel model;
    Bytes image(static_cast<std::size_t>(WriteModule(nullptr, StreamFile)));
    WriteModule(image.data(), StreamMemory);
    return image;
}

// zlib's compress2 at level 9 alone: the limit of the whole conversion.
void Compress2(benchmark::State& state) {
    const Bytes image = XmImage();
    Bytes out(CompressedCapacity(image.size()));
    for (auto _ : state) {
        uLongf length = static_cast<uLongf>(out.size());
        compress2(out.data(), &length, image.data(), static_cast<uLong>(image.size()),
                  Z_BEST_COMPRESSION);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.size()));
}

// The container: its buffer, compress2, the CRC-32 and the header.
void Pack(benchmark::State& state) {
    const Bytes image = XmImage();
    for (auto _ : state) {
        PackedModule packed;
        if (!PackModule(image, packed)) {
            state.SkipWithError("packing failed");
            break;
        }
        benchmark::DoNotOptimize(packed.compressedLength);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.size()));
}

void RegisterAll() {
    for (const Format format : allFormats) {
        benchmark::RegisterBenchmark(("Load/" + std::string(FormatName(format))).c_str(), Load,
                                     format)
            ->Unit(benchmark::kMillisecond);
    }
    for (const SampleCase& sample : sampleCases) {
        benchmark::RegisterBenchmark((std::string("PrepareSample/") + sample.name).c_str(), Prepare,
                                     sample)
            ->Unit(benchmark::kMicrosecond);
    }
    for (const std::uint32_t width : {1u, 2u}) {
        for (const bool doubleDelta : {false, true}) {
            const std::string name = std::string("ItDecode/") + (width == 2 ? "16bit" : "8bit") +
                                     (doubleDelta ? "/2.15" : "/2.14");
            benchmark::RegisterBenchmark(name.c_str(), ItDecode, width, doubleDelta)
                ->Unit(benchmark::kMicrosecond);
        }
    }
    benchmark::RegisterBenchmark("WriteModule/sizePass", WriteSizePass)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("WriteModule/imagePass", WriteImagePass)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Compress/compress2", Compress2)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Compress/PackModule", Pack)->Unit(benchmark::kMillisecond);
}

}  // namespace

}  // namespace tunepak::bench

int main(int argc, char** argv) {
    tunepak::bench::RegisterAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
