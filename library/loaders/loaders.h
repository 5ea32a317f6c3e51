// The load entry and the format loaders. Each loader takes the installed stream, positioned at
// the start of the module, fills the model and returns a result code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "model/model.h"

namespace tunepak {

// Loads one module from `stream` (a FILE* in file mode, a memory block in memory mode); the
// format is recognised by content.
int LoadModule(void* stream, unsigned mode);

using Loader = int (*)(void* stream);

// The loader that the first 48 bytes of a module choose; anything unrecognised is tried as MOD.
inline constexpr std::size_t probeSize = 48;
Loader ChooseLoader(std::span<const std::uint8_t, probeSize> probe);

int LoadMod(void* stream);
// The 15-sample Soundtracker layout, which has no signature: the probe, tried after every other
// format, tells it by plausible headers and the file's size (so never in memory mode, where the
// size is unknown) and puts the stream back; the loader reads it as a MOD of 4 channels.
bool IsSoundtrackerModule(void* stream);
int LoadSoundtracker(void* stream);
int LoadS3m(void* stream);
int LoadXm(void* stream);
int LoadIt(void* stream);
int LoadMtm(void* stream);
int Load669(void* stream);
int LoadStm(void* stream);
int LoadFar(void* stream);
int LoadUlt(void* stream);
int LoadPtm(void* stream);
int LoadAm(void* stream);

// Reads the frames of one sample into a new buffer in canonical signed form with its run-out
// tail, normalising the header on the way. `data` is the header's buffer slot.
int PrepareSample(SampleHeader& header, std::uint8_t*& data, void* stream);

// The frames of the run-out tail behind a prepared sample's `length` frames, as PrepareSample
// builds it from the header: 31, a fixed looped stereo buffer's second half besides, and a
// ping-pong loop's backward copy.
std::uint64_t RunOutTail(const SampleHeader& header);

}  // namespace tunepak
