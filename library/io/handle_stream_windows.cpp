#include "io/handle_stream_windows.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>

namespace tunepak {

UniqueFile StreamOverHandle(void* handle, int flags, const char* mode) {
    const int descriptor = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), flags);
    if (descriptor < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    UniqueFile file(_fdopen(descriptor, mode));
    if (!file) _close(descriptor);
    return file;
}

}  // namespace tunepak
