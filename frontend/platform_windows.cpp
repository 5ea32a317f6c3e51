// The platform layer on Windows, through the wide-character API: paths arrive and names leave as
// UTF-8, and the system sees them as UTF-16.

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <mutex>

#include "files_in_progress.h"
#include "io/handle_stream_windows.h"
#include "platform.h"

namespace tunepak::platform {

namespace {

// `text` (UTF-8) as UTF-16; none when it is not valid UTF-8.
std::optional<std::wstring> Wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    if (text.size() > INT_MAX) return std::nullopt;
    const int size = static_cast<int>(text.size());
    const int length =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (length <= 0) return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), length);
    return wide;
}

// `wide` (UTF-16) as UTF-8; none when it holds a lone surrogate, which no UTF-8 name can reach.
std::optional<std::string> Narrow(const wchar_t* wide) {
    const int length =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::nullopt;
    std::string text(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, text.data(), length, nullptr,
                        nullptr);
    text.pop_back();  // the terminating null
    return text;
}

// A lock of the system's own, which needs no constructor or destructor: the storage below is
// set up before any code runs and never torn down.
struct Lock {
    SRWLOCK system = SRWLOCK_INIT;

    void lock() { AcquireSRWLockExclusive(&system); }
    void unlock() { ReleaseSRWLockExclusive(&system); }
};

constinit FilesInProgress<wchar_t, Lock> inProgress;

constexpr std::size_t longestName = 255;  // of one path component, in UTF-16 units

// ".<name>.<process>-<n>.tmp" in the directory of `path`, the name shortened as far as needed to
// keep the component within the system's limit.
std::wstring HiddenNameBeside(const std::wstring& path) {
    static std::atomic<unsigned> made{0};
    const std::wstring suffix = L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(++made) + L".tmp";
    const std::size_t separator = path.find_last_of(L"/\\:");
    const std::size_t start = separator == std::wstring::npos ? 0 : separator + 1;
    std::wstring name = path.substr(start, longestName - 1 - suffix.size());
    // A surrogate pair cut in half would make a name that is no longer valid UTF-16.
    if (!name.empty() && IS_HIGH_SURROGATE(name.back())) name.pop_back();
    return path.substr(0, start) + L"." + name + suffix;
}

// Removes the hidden files in progress when the console asks the process to end (Ctrl-C,
// Ctrl-Break, the window closed, the user logging off), then lets the system's default handler
// end it. An interruption that the process was started to ignore never reaches here.
BOOL WINAPI RemoveFilesInProgress(DWORD) {
    inProgress.lock.lock();  // never given back
    inProgress.RemoveAll([](const wchar_t* path) { DeleteFileW(path); });
    return FALSE;
}

constexpr DWORD largestWrite = 1u << 30;

// Writes all of `bytes` at the handle's position, or at `offset` when one is given.
bool WriteAll(HANDLE handle, std::span<const std::uint8_t> bytes,
              std::optional<std::uint64_t> offset) {
    while (!bytes.empty()) {
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), largestWrite));
        OVERLAPPED at{};
        if (offset) {
            at.Offset = static_cast<DWORD>(*offset);
            at.OffsetHigh = static_cast<DWORD>(*offset >> 32);
        }
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data(), piece, &written, offset ? &at : nullptr) ||
            written == 0) {
            return false;
        }
        bytes = bytes.subspan(written);
        if (offset) *offset += written;
    }
    return true;
}

}  // namespace

const PathStyle nativePathStyle = PathStyle::windows;

std::vector<std::string> ListDirectory(const std::string& directory) {
    std::vector<std::string> names;
    const std::optional<std::wstring> wide = Wide(directory);
    if (!wide) return names;
    const bool bare = wide->empty() || wide->find_last_of(L"/\\:") == wide->size() - 1;
    const std::wstring search = *wide + (bare ? L"*" : L"\\*");
    WIN32_FIND_DATAW found{};
    const HANDLE find = FindFirstFileW(search.c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring_view name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (std::optional<std::string> text = Narrow(found.cFileName)) {
            names.push_back(std::move(*text));
        }
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return names;
}

UniqueFile OpenRegularFile(const std::string& path) {
    // A directory cannot be opened this way at all; a console, a pipe or another device opens
    // without waiting and is refused by its type.
    const std::optional<std::wstring> wide = Wide(path);
    if (!wide || wide->empty()) return nullptr;
    const HANDLE handle =
        CreateFileW(wide->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(handle) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(handle, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(handle);
        return nullptr;
    }
    return StreamOverHandle(handle, _O_RDONLY | _O_BINARY, "rb");
}

void UseBinaryStandardOutput() { _setmode(_fileno(stdout), _O_BINARY); }

std::optional<FileStamp> StampOf(std::FILE* file) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    LARGE_INTEGER size{};
    FILETIME written{};
    if (handle == INVALID_HANDLE_VALUE || !GetFileSizeEx(handle, &size) ||
        !GetFileTime(handle, nullptr, nullptr, &written)) {
        return std::nullopt;
    }
    // In the system's unit of 100 nanoseconds.
    return FileStamp{static_cast<std::uint64_t>(size.QuadPart),
                     static_cast<std::int64_t>((std::uint64_t{written.dwHighDateTime} << 32) |
                                               written.dwLowDateTime)};
}

// handle_ holds a HANDLE; the hidden file's name is kept, in UTF-16, in its slot of inProgress.
ReplacingFile::ReplacingFile(std::string name) : name_(std::move(name)) {
    const std::optional<std::wstring> target = Wide(name_);
    if (!target || target->empty()) {
        failed_ = true;
        return;
    }
    const std::wstring hidden = HiddenNameBeside(*target);
    const std::lock_guard<Lock> guard(inProgress.lock);
    slot_ = inProgress.Add(hidden);
    const HANDLE handle =
        slot_ < 0 ? INVALID_HANDLE_VALUE
                  : CreateFileW(hidden.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        inProgress.Release(slot_);
        failed_ = true;
        return;
    }
    handle_ = reinterpret_cast<std::intptr_t>(handle);
}

ReplacingFile::~ReplacingFile() { Discard(); }

bool ReplacingFile::Write(std::span<const std::uint8_t> bytes) {
    if (!failed_ && !WriteAll(reinterpret_cast<HANDLE>(handle_), bytes, std::nullopt)) {
        failed_ = true;
    }
    return !failed_;
}

bool ReplacingFile::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    // A positioned write moves the handle's position too: it is put back for the next Write.
    const auto handle = reinterpret_cast<HANDLE>(handle_);
    LARGE_INTEGER position{};
    if (!failed_ && (!SetFilePointerEx(handle, LARGE_INTEGER{}, &position, FILE_CURRENT) ||
                     !WriteAll(handle, bytes, offset) ||
                     !SetFilePointerEx(handle, position, nullptr, FILE_BEGIN))) {
        failed_ = true;
    }
    return !failed_;
}

bool ReplacingFile::Commit() {
    const auto handle = reinterpret_cast<HANDLE>(handle_);
    if (!failed_ && !FlushFileBuffers(handle)) failed_ = true;
    if (handle_ != -1 && !CloseHandle(handle)) failed_ = true;
    handle_ = -1;
    if (failed_) {
        Discard();
        return false;
    }
    const std::lock_guard<Lock> guard(inProgress.lock);
    const wchar_t* hidden = inProgress.Path(slot_);
    const std::wstring target = Wide(name_).value_or(L"");  // valid: checked on construction
    // A read-only file is not replaced, whatever the file system's move would do.
    const DWORD attributes = GetFileAttributesW(target.c_str());
    const bool readOnly = attributes != INVALID_FILE_ATTRIBUTES &&
                          (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly || !MoveFileExW(hidden, target.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(hidden);
        failed_ = true;
    }
    inProgress.Release(slot_);
    return !failed_;
}

void ReplacingFile::Discard() {
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = -1;
    if (slot_ < 0) return;
    const std::lock_guard<Lock> guard(inProgress.lock);
    DeleteFileW(inProgress.Path(slot_));
    inProgress.Release(slot_);
}

ProgramArguments::ProgramArguments(int, char**) {
    // The C library's arguments are in the ANSI code page, which cannot spell every name: the
    // command line is read again as the system keeps it, in UTF-16.
    int count = 0;
    wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; words != nullptr && i < count; ++i) {
        text_.push_back(Narrow(words[i]).value_or(std::string()));
    }
    LocalFree(words);
    Index();
    SetConsoleOutputCP(CP_UTF8);
}

void GuardOutputFiles() {
    // Windows has no file-size or broken-pipe signal: such a write simply fails.
    SetConsoleCtrlHandler(RemoveFilesInProgress, TRUE);
}

void KeepFreedMemoryForNextFile() {
    // Nothing to set: the Windows heap keeps freed blocks for the process by itself and serves
    // large ones from the system afresh whatever it is told.
}

}  // namespace tunepak::platform
