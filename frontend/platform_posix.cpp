// The platform layer on POSIX systems (Linux, the BSDs, macOS); heap tuning with glibc.

#include "platform.h"

#include <dirent.h>
#include <fcntl.h>
#if __has_include(<malloc.h>)
#include <malloc.h>
#endif
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <system_error>
#include <thread>

#include "files_in_progress.h"

namespace tunepak::platform {

namespace {

constinit FilesInProgress<char, std::mutex> inProgress;

constexpr std::size_t longestName = 255;  // of one path component

// ".<name>.<process>-<n>.tmp" in the directory of `path`, the name shortened as far as needed to
// keep the component within the system's limit.
std::string HiddenNameBeside(const std::string& path) {
    static std::atomic<unsigned> made{0};
    const std::string suffix =
        "." + std::to_string(getpid()) + "-" + std::to_string(++made) + ".tmp";
    const std::size_t slash = path.rfind('/');
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    const std::string name = path.substr(start, longestName - 1 - suffix.size());
    return path.substr(0, start) + "." + name + suffix;
}

// Gives the new file the permission bits of the regular file at `name` that it replaces. False
// when that file is read-only (no one may write it), which stays, as Windows' read-only
// attribute keeps a file.
bool TakeOverPermissions(int handle, const std::string& name) {
    struct stat target {};
    if (lstat(name.c_str(), &target) != 0 || !S_ISREG(target.st_mode)) return true;
    if ((target.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
    return fchmod(handle, target.st_mode & 0777) == 0;
}

// Waits for an interruption, removes the hidden files in progress and ends the process with the
// interruption's own default action.
[[noreturn]] void AwaitInterruption(sigset_t signals) {
    int signal = 0;
    while (sigwait(&signals, &signal) != 0) {
    }
    inProgress.lock.lock();  // never given back
    inProgress.RemoveAll([](const char* path) { unlink(path); });
    std::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    _exit(128 + signal);  // not reached: the default action of every signal taken ends the process
}

}  // namespace

const PathStyle nativePathStyle = PathStyle::posix;

std::vector<std::string> ListDirectory(const std::string& directory) {
    std::vector<std::string> names;
    DIR* dir = opendir(directory.empty() ? "." : directory.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    closedir(dir);
    return names;
}

UniqueFile OpenRegularFile(const std::string& path) {
    // The kind is checked before opening, so that no device is opened at all, and again on the
    // open file, which may have been put in place of what was checked. A FIFO swapped in between
    // is opened without waiting for a writer.
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
    const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) return nullptr;
    if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(descriptor);
        return nullptr;
    }
    UniqueFile file(fdopen(descriptor, "rb"));
    if (!file) close(descriptor);
    return file;
}

void UseBinaryStandardOutput() {}  // POSIX streams never translate bytes

std::optional<FileStamp> StampOf(std::FILE* file) {
    struct stat info {};
    if (fstat(fileno(file), &info) != 0) return std::nullopt;
    return FileStamp{static_cast<std::uint64_t>(info.st_size),
                     std::int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec};
}

ReplacingFile::ReplacingFile(std::string name)
    : name_(std::move(name)), temporary_(HiddenNameBeside(name_)) {
    const std::lock_guard guard(inProgress.lock);
    slot_ = inProgress.Add(temporary_);
    const int descriptor =
        slot_ < 0 ? -1
                  : open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         0666);
    if (descriptor < 0) {
        inProgress.Release(slot_);
        failed_ = true;
        return;
    }
    handle_ = descriptor;
}

ReplacingFile::~ReplacingFile() { Discard(); }

bool ReplacingFile::Write(std::span<const std::uint8_t> bytes) {
    while (!failed_ && !bytes.empty()) {
        const ssize_t written = write(static_cast<int>(handle_), bytes.data(), bytes.size());
        if (written > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(written));
        } else if (written == 0 || errno != EINTR) {
            failed_ = true;
        }
    }
    return !failed_;
}

bool ReplacingFile::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    while (!failed_ && !bytes.empty()) {
        const ssize_t written = pwrite(static_cast<int>(handle_), bytes.data(), bytes.size(),
                                       static_cast<off_t>(offset));
        if (written > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(written));
            offset += static_cast<std::uint64_t>(written);
        } else if (written == 0 || errno != EINTR) {
            failed_ = true;
        }
    }
    return !failed_;
}

bool ReplacingFile::Commit() {
    if (!failed_ && !TakeOverPermissions(static_cast<int>(handle_), name_)) failed_ = true;
    if (!failed_ && fsync(static_cast<int>(handle_)) != 0) failed_ = true;
    if (handle_ >= 0 && close(static_cast<int>(handle_)) != 0) failed_ = true;
    handle_ = -1;
    if (failed_) {
        Discard();
        return false;
    }
    const std::lock_guard guard(inProgress.lock);
    if (std::rename(temporary_.c_str(), name_.c_str()) != 0) {
        unlink(temporary_.c_str());
        failed_ = true;
    }
    inProgress.Release(slot_);
    return !failed_;
}

void ReplacingFile::Discard() {
    if (handle_ >= 0) close(static_cast<int>(handle_));
    handle_ = -1;
    if (slot_ < 0) return;
    const std::lock_guard guard(inProgress.lock);
    unlink(temporary_.c_str());
    inProgress.Release(slot_);
}

ProgramArguments::ProgramArguments(int argc, char** argv)
    : text_(argv + std::min(argc, 1), argv + argc) {  // as given: names are bytes here
    Index();
}

void GuardOutputFiles() {
    // These come from a write in whichever thread makes it: ignored, the write fails instead.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);

    // The interruptions go to one thread that waits for them, rather than to a handler that
    // might run while another thread creates or renames a file.
    sigset_t interruptions;
    sigemptyset(&interruptions);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            sigaddset(&interruptions, signal);
        }
    }
    pthread_sigmask(SIG_BLOCK, &interruptions, nullptr);
    try {
        std::thread([interruptions] { AwaitInterruption(interruptions); }).detach();
    } catch (const std::system_error&) {
        pthread_sigmask(SIG_UNBLOCK, &interruptions, nullptr);  // no cleanup, but no deafness
    }
}

void KeepFreedMemoryForNextFile() {
    // Blocks up to the largest that the heap serves (32 MB) come from the heap rather than from
    // maps of their own, and up to 256 MB of free heap stays mapped. Only C libraries with these
    // settings (glibc) have them; the others keep what they keep.
#if defined(M_MMAP_THRESHOLD) && defined(M_TRIM_THRESHOLD)
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
}

}  // namespace tunepak::platform
