#include "io/memory_file.h"

#include <sys/mman.h>
#include <unistd.h>

namespace tunepak {

UniqueFile OpenMemoryFile(std::span<const std::uint8_t> bytes) {
    const int fd = memfd_create("tunepak-image", MFD_CLOEXEC);
    UniqueFile file(fd >= 0 ? fdopen(fd, "w+b") : std::tmpfile());
    if (!file) {
        if (fd >= 0) close(fd);
        return nullptr;
    }
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
        return nullptr;
    }
    if (std::fflush(file.get()) != 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) return nullptr;
    return file;
}

}  // namespace tunepak
