#include "io/memory_file.h"

#include "io/scratch_file.h"

namespace tunepak {

UniqueFile OpenMemoryFile(std::span<const std::uint8_t> bytes) {
    UniqueFile file = OpenScratchFile();
    if (!file) return nullptr;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
        return nullptr;
    }
    if (std::fflush(file.get()) != 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) return nullptr;
    return file;
}

}  // namespace tunepak
