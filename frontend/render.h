// tunepak-render: plays a packed module, an AM module or a source module through the library's
// player into a WAVE file or raw PCM.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace tunepak {

// Loads `path` into the model for playing: a packed module (recognised by its "MUSE" header)
// through its AM image, anything else through LoadModule. The reason when it cannot; the caller
// releases the model either way.
std::optional<std::string> LoadForPlaying(const std::string& path);

// The 44-byte RIFF WAVE header of `frames` frames of 16-bit stereo PCM at `rate`.
std::array<std::uint8_t, 44> WaveHeader(std::uint64_t frames, std::uint32_t rate);

// Runs tunepak-render on its arguments (without the program name); returns the exit code.
int RunTunepakRender(int argc, const char* const* argv);

}  // namespace tunepak
