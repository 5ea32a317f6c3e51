#include <fcntl.h>
#include <windows.h>

#include "io/handle_stream_windows.h"
#include "io/scratch_file.h"

namespace tunepak {

// A file in the user's temporary directory that the system deletes when its last handle
// closes, even if the program ends abnormally. (The C library's tmpfile() makes its file in the
// root of the current drive, which ordinary users may not write to.)
UniqueFile OpenScratchFile() {
    wchar_t directory[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, directory);
    if (length == 0 || length > MAX_PATH || GetTempFileNameW(directory, L"tpk", 0, name) == 0) {
        return nullptr;
    }
    const HANDLE handle =
        CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DeleteFileW(name);
        return nullptr;
    }
    return StreamOverHandle(handle, _O_RDWR | _O_BINARY, "w+b");
}

}  // namespace tunepak
