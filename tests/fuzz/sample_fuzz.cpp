// The sample decoders: after a mode byte, 64 bytes are a sample header and the rest its data,
// prepared plainly, as compressed IT data in both variants, or as ModPlug ADPCM.

#include <cstring>

#include "fuzz_support.h"
#include "loaders/adpcm.h"
#include "loaders/it_compression.h"
#include "loaders/loaders.h"

namespace {

using namespace tunepak;

// Keeps sample lengths to what a fuzz run can afford; larger ones only take longer.
constexpr std::uint32_t largestLength = 1u << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < sizeof(SampleHeader) + 1) return 0;
    const std::uint8_t mode = data[0];
    SampleHeader header;
    std::memcpy(&header, data + 1, sizeof header);
    if (header.length > largestLength) header.length = header.length % largestLength;
    if (mode & 2) header.flags2 &= static_cast<std::uint8_t>(~fixedLoopBuffer);
    const std::uint8_t* samples = data + 1 + sizeof header;
    const std::size_t sampleBytes = size - 1 - sizeof header;

    fuzz::InputFile input(samples, sampleBytes);
    if (input.get() == nullptr) return 0;
    void* stream = InstallStreams(StreamFile, input.get());
    std::uint8_t* frames = nullptr;
    if (mode & 8) {
        PrepareAdpcmSample(header, frames, stream);
    } else if (mode & 1) {
        PrepareCompressedSample(header, frames, stream, (mode & 4) != 0, StoredEncoding(header));
    } else {
        PrepareSample(header, frames, stream);
    }
    if (frames != nullptr) services.release(frames);
    return 0;
}
