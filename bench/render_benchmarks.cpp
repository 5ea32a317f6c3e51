// The player: a generated 16-channel module rendered at 44,100 Hz. The "realTime" counter is
// seconds of music rendered per second, the speed-up over real time.

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "io/memory_file.h"
#include "io/services.h"
#include "loaders/loaders.h"
#include "model/player.h"
#include "module_maker.h"
#include "player/playback.h"

namespace tunepak::bench {
namespace {

constexpr std::uint32_t rate = 44100;

void Render(benchmark::State& state, Format format) {
    const Bytes module = MakeModule(format, Shape{.patterns = 8, .channels = 16, .samples = 12});
    const UniqueFile file = OpenMemoryFile(module);
    if (module.empty() || !file || LoadModule(file.get(), StreamFile) != ResultOk) {
        state.SkipWithError("the module does not load");
        ReleaseModule();
        return;
    }
    auto playback = std::make_unique<Playback>();
    StartPlayback(*playback, PlaybackSettings{rate, true});
    std::vector<std::int16_t> out(2 * rate);  // one second a round
    for (auto _ : state) {
        if (RenderFrames(*playback, out) != rate) state.SkipWithError("the song ended");
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["realTime"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    ReleaseModule();
}

const bool registered = [] {
    for (const Format format : {Format::xm, Format::it, Format::s3m}) {
        benchmark::RegisterBenchmark(("Render16/" + std::string(FormatName(format))).c_str(),
                                     Render, format)
            ->Unit(benchmark::kMillisecond);
    }
    return true;
}();

}  // namespace
}  // namespace tunepak::bench
