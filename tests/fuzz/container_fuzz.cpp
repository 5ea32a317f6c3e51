// The packed-file reader on every input, as tunepak-info reads a packed file: the header and
// stream checks, the inflating within the bound of the file's size, and the load of the image.

#include <cstdlib>
#include <cstring>

#include "container.h"
#include "fuzz_support.h"
#include "loaders/loaders.h"
#include "model/model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tunepak;
    const UnpackedModule unpacked = UnpackModule({data, size});
    if (!unpacked.recovered) return 0;
    if (unpacked.imageLength > SampleBytesBound(size) ||
        unpacked.imageLength > unpacked.header.imageLength) {
        std::abort();
    }
    const std::span<const std::uint8_t> image = unpacked.image.span().first(unpacked.imageLength);
    if (image.size() < 12 || std::memcmp(image.data(), "RIFF", 4) != 0) return 0;
    fuzz::InputFile input(image.data(), image.size());
    if (input.get() == nullptr) return 0;
    const SampleBoundSource bound(size);
    LoadModule(input.get(), StreamFile);
    ReleaseModule();
    return 0;
}
