// A nameless file for scratch data: read-write, binary, empty, and gone from the disk (or never
// on it) once closed. The one place where the platforms differ for files made in memory.
#pragma once

#include "io/memory_file.h"

namespace tunepak {

// Null when the system cannot make one.
UniqueFile OpenScratchFile();

}  // namespace tunepak
