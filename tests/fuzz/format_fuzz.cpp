// One loader on every input, without the detection in front of it, so that the fuzzer spends
// its time inside that format. The format is named at build time and found in the registry.

#include <cstdlib>

#include "fuzz_support.h"
#include "loaders/formats.h"

namespace {

const tunepak::Loader loader = [] {
    const tunepak::SourceFormat* format = tunepak::FindFormat(TUNEPAK_FUZZ_FORMAT);
    if (format == nullptr) std::abort();  // the build names a format that the registry lacks
    return format->loader;
}();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tunepak::fuzz::RunLoader(loader, data, size);
    return 0;
}
