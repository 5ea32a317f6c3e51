// The load entry, and the sample preparation that the format loaders share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "loaders/formats.h"
#include "model/model.h"

namespace tunepak {

// Loads one module from `stream` (a FILE* in file mode, a memory block in memory mode); the
// format is recognised by content.
int LoadModule(void* stream, unsigned mode);

// Reads the frames of one sample into a new buffer in canonical signed form with its run-out
// tail, normalising the header on the way. `data` is the header's buffer slot.
int PrepareSample(SampleHeader& header, std::uint8_t*& data, void* stream);

// The frames of the run-out tail behind a prepared sample's `length` frames, as PrepareSample
// builds it from the header: 31, a fixed looped stereo buffer's second half besides, and a
// ping-pong loop's backward copy.
std::uint64_t RunOutTail(const SampleHeader& header);

}  // namespace tunepak
