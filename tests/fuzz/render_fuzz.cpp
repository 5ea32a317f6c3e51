// Playing any input: load it as the converter does, then render a few seconds (looping, so
// that jumps and loops are followed back) and measure the song. Rendering and measuring are
// bounded whatever the module says.

#include <cstdlib>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "loaders/loaders.h"
#include "player/playback.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tunepak;
    constexpr std::uint32_t rate = 8000;
    fuzz::InputFile input(data, size);
    if (input.get() == nullptr) return 0;
    if (LoadModule(input.get(), StreamFile) == ResultOk) {
        static Playback playback;
        std::vector<std::int16_t> out(2 * 4096);
        for (const bool looping : {false, true}) {
            const int started = StartPlayback(playback, PlaybackSettings{rate, looping});
            for (int block = 0; block < 4; ++block) {
                // A module without channels (an AM file without MAIN) does not start.
                if (RenderFrames(playback, out) != 0 && started != ResultOk) std::abort();
            }
        }
        SongFrames(rate, std::uint64_t{rate} * 600);
    }
    ReleaseModule();
    return 0;
}
