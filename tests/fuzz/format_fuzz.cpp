// One loader on every input, without the detection in front of it, so that the fuzzer spends
// its time inside that format. The loader is chosen at build time.

#include "fuzz_support.h"
#include "loaders/loaders.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tunepak::fuzz::RunLoader(tunepak::TUNEPAK_FUZZ_LOADER, data, size);
    return 0;
}
