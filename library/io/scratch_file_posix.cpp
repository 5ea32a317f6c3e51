#include <sys/mman.h>
#include <unistd.h>

#include "io/scratch_file.h"

namespace tunepak {

// An anonymous memory file where the system has them, else a temporary file.
UniqueFile OpenScratchFile() {
    const int fd = memfd_create("tunepak-image", MFD_CLOEXEC);
    if (fd < 0) return UniqueFile(std::tmpfile());
    UniqueFile file(fdopen(fd, "w+b"));
    if (!file) close(fd);
    return file;
}

}  // namespace tunepak
