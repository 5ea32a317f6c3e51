// What every fuzz target shares: the input as a read-only FILE*, and a clean model around each
// run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "io/memory_file.h"
#include "io/services.h"
#include "model/patterns.h"
#include "model/player.h"

namespace tunepak::fuzz {

// The input as a file-mode stream. Closed on exit.
class InputFile {
public:
    InputFile(const std::uint8_t* data, std::size_t size) : file_(OpenMemoryFile({data, size})) {}
    std::FILE* get() const { return file_.get(); }

private:
    UniqueFile file_;
};

// Runs one loader directly on the input, as LoadModule would after detection.
inline int RunLoader(int (*loader)(void*), const std::uint8_t* data, std::size_t size) {
    InputFile input(data, size);
    if (input.get() == nullptr) return 0;
    ResetPlayer();
    PatternEmitter::ResetChannels();
    void* stream = InstallStreams(StreamFile, input.get());
    const KnownStreamEnd end(stream);  // as LoadModule holds one
    const int result = loader(stream);
    ReleaseModule();
    return result;
}

}  // namespace tunepak::fuzz
