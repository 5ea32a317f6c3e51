// The RIFF "AMFF" writer.
#pragma once

#include <cstdint>

namespace tunepak {

// Serialises the model as an AM image. With a null stream nothing is written and the result is
// the size the image would have; with a stream (a FILE* in file mode, a memory block in memory
// mode) the result is the number of bytes written.
std::uint32_t WriteModule(void* stream, unsigned mode);

}  // namespace tunepak
