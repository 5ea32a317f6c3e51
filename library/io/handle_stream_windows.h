// Windows only: a C stream over a file handle of the system's, for the layers that open files
// through the system (to choose their sharing and lifetime) and read or write them as streams.
#pragma once

#include "io/memory_file.h"

namespace tunepak {

// A stream in `mode` ("rb", "w+b", ...) over `handle` (a HANDLE), whose descriptor is opened
// with the _open_osfhandle flags `flags`. The stream owns the handle from then on; when none can
// be made, the handle is closed and the result is null.
UniqueFile StreamOverHandle(void* handle, int flags, const char* mode);

}  // namespace tunepak
