// The whole conversion of one input: load it as the converter does, write the image in both
// passes, read the image back and check that it writes the same bytes again.

#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "loaders/loaders.h"
#include "model/model.h"
#include "writer/writer.h"

namespace {

using namespace tunepak;

std::vector<std::uint8_t> WriteImage() {
    std::vector<std::uint8_t> image(WriteModule(nullptr, StreamFile));
    if (WriteModule(image.data(), StreamMemory) != image.size()) std::abort();
    return image;
}

// Fixed looped buffers are converted again on every load, so their images change on reading.
bool HasFixedLoopBuffer() {
    for (const InstrumentSlot& slot : instrumentTable) {
        if (!IsInstrumentBlock(slot.block)) continue;
        const InstrumentRecord& record = RecordOf(slot.block);
        for (std::size_t k = 0; k < record.sampleCount; ++k) {
            if (SampleOf(slot.block, k).flags2 & fixedLoopBuffer) return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    int result;
    {
        fuzz::InputFile input(data, size);
        if (input.get() == nullptr) return 0;
        result = LoadModule(input.get(), StreamFile);
    }
    // The converter writes only what loaded; what a failed load left is released.
    if (result != ResultOk) {
        ReleaseModule();
        return 0;
    }
    const std::vector<std::uint8_t> image = WriteImage();
    const bool roundTrip = !HasFixedLoopBuffer();
    ReleaseModule();
    if (!roundTrip) return 0;

    fuzz::InputFile imageFile(image.data(), image.size());
    if (LoadModule(imageFile.get(), StreamFile) != ResultOk) std::abort();
    const std::vector<std::uint8_t> again = WriteImage();
    ReleaseModule();
    if (again != image) std::abort();
    return 0;
}
