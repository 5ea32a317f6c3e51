// The hidden files being written, to be removed when the process is interrupted: one table for
// the platform layers, which differ only in the characters of their paths and in their lock.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace tunepak::platform {

// The storage is fixed and lives as long as the process, so that no exit path finds it freed;
// the lock is held while a hidden file is created, renamed or removed, and for good once an
// interruption is handled, so that no file appears or moves while it is cleaned up.
template <class Char, class Lock>
struct FilesInProgress {
    static constexpr std::size_t most = 128;
    static constexpr std::size_t longestPath = 4096;  // in characters, with the terminating null

    Lock lock;
    std::array<std::array<Char, longestPath>, most> paths{};
    std::array<bool, most> used{};

    // Takes a free slot for `path`; -1 when none is free or the path does not fit.
    int Add(std::basic_string_view<Char> path) {
        if (path.size() >= longestPath) return -1;
        for (std::size_t slot = 0; slot < most; ++slot) {
            if (used[slot]) continue;
            path.copy(paths[slot].data(), path.size());
            paths[slot][path.size()] = Char{};
            used[slot] = true;
            return static_cast<int>(slot);
        }
        return -1;
    }

    // Gives the slot back, if one was taken; `slot` is -1 afterwards.
    void Release(int& slot) {
        if (slot >= 0) used[static_cast<std::size_t>(slot)] = false;
        slot = -1;
    }

    // The path held in a taken slot.
    const Char* Path(int slot) const { return paths[static_cast<std::size_t>(slot)].data(); }

    // Calls `remove` with the path of every file in progress (the lock already held).
    template <class Remove>
    void RemoveAll(Remove remove) const {
        for (std::size_t slot = 0; slot < most; ++slot) {
            if (used[slot]) remove(paths[slot].data());
        }
    }
};

}  // namespace tunepak::platform
