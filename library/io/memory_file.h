// A block of bytes opened as a read-only standard I/O file, for loading images held in memory
// in file mode (whose reads are bounded by the data, unlike memory mode).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>

namespace tunepak {

struct FileCloser {
    void operator()(std::FILE* file) const {
        if (file != nullptr) std::fclose(file);
    }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// A copy of `bytes` as a file that behaves like one on disk: it can tell its end, and seeking
// past the end is allowed (reads there deliver nothing). Null when no such file can be made.
UniqueFile OpenMemoryFile(std::span<const std::uint8_t> bytes);

}  // namespace tunepak
