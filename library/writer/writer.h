// The RIFF "AMFF" writer.
#pragma once

#include <cstdint>

namespace tunepak {

// Serialises the model as an AM image. With a null stream nothing is written and the result is
// the size the image would have; with a stream (a FILE* in file mode, a memory block in memory
// mode) the result is the number of bytes written. The size is never cut to 32 bits: a model
// left by a failed load may claim frames beyond what the RIFF length field can count, and a
// caller must not allocate a wrapped size for it.
std::uint64_t WriteModule(void* stream, unsigned mode);

// The largest image that the RIFF length field can describe.
inline constexpr std::uint64_t largestImage = 0xFFFFFFFFu;

}  // namespace tunepak
