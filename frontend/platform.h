// What the converter needs of the operating system beyond standard C++: opening sources without
// waiting on them, telling whether a file changed, writing a file whole or not at all, cleaning
// up after an interruption, listing a directory and tuning the heap. platform_posix.cpp holds
// the POSIX implementation, platform_windows.cpp the Windows one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io/memory_file.h"

namespace tunepak::platform {

// How the system spells paths: on POSIX only '/' separates directories; on Windows '\' does
// too, and a leading drive ("C:") belongs to a path's directory part.
enum class PathStyle { posix, windows };
extern const PathStyle nativePathStyle;

// The names of the entries of `directory` ("" for the current one), without "." and "..", in no
// particular order; none when the directory cannot be read.
std::vector<std::string> ListDirectory(const std::string& directory);

// Opens `path` for binary reading if it is a regular file (or a link to one). Null for anything
// else, a directory, FIFO, socket or device included, which is never waited on, and for a file
// that cannot be opened.
UniqueFile OpenRegularFile(const std::string& path);

// What tells one version of a file from another: its length and last modification time.
struct FileStamp {
    std::uint64_t size = 0;
    std::int64_t modified = 0;  // in the finest unit the system keeps

    bool operator==(const FileStamp&) const = default;
};

// The stamp of an open file; none when the system cannot tell it.
std::optional<FileStamp> StampOf(std::FILE* file);

// A file that replaces the file `name` only once it is complete. The bytes go to a new hidden
// file in the same directory (".<name>.<process>-<n>.tmp"); Commit makes them durable and
// renames that file over `name`, in one step that a crash or a kill cannot split: `name` is
// either the earlier file or the whole new one. A symbolic link at `name` is replaced, not
// followed. The new file keeps the permissions of the file it replaces, and a read-only file
// is not replaced: Commit fails. Whatever fails, and an object destroyed uncommitted, removes
// the hidden file.
class ReplacingFile {
public:
    explicit ReplacingFile(std::string name);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Appends bytes; false once anything has failed.
    bool Write(std::span<const std::uint8_t> bytes);
    // Overwrites bytes already written, from `offset` on; false once anything has failed.
    bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes);
    // Flushes the file to storage and puts it in place of `name`; false (nothing replaced)
    // when this or any earlier step failed.
    bool Commit();

private:
    void Discard();

    std::string name_;
    std::string temporary_;
    std::intptr_t handle_ = -1;  // the system's handle of the hidden file; -1 when none is open
    int slot_ = -1;              // its place among the files to remove on an interruption
    bool failed_ = false;
};

// The program's arguments after its name, as UTF-8 whatever the system's code page; making them
// sets the console up to show the UTF-8 text the program prints.
class ProgramArguments {
public:
    ProgramArguments(int argc, char** argv);
    ProgramArguments(const ProgramArguments&) = delete;
    ProgramArguments& operator=(const ProgramArguments&) = delete;

    int Count() const { return static_cast<int>(words_.size()); }
    const char* const* Words() const { return words_.data(); }

private:
    void Index() {
        for (const std::string& argument : text_) words_.push_back(argument.c_str());
    }

    std::vector<std::string> text_;
    std::vector<const char*> words_;
};

// Makes standard output carry bytes unchanged: on Windows it would otherwise write each line
// feed (0x0A) as a carriage return and a line feed.
void UseBinaryStandardOutput();

// Sets the process up for writing a batch of files; called once at the start of the program,
// before any other thread exists. An interruption (Ctrl-C, a termination request, a hang-up)
// removes the hidden files of every ReplacingFile in progress, then ends the process as the
// interruption would have; one that the process was started to ignore stays ignored. A write
// beyond a file-size limit, or to standard output once its reader has gone (a pipe into a
// program that stopped reading), fails, as a write to a full disk does, rather than ending the
// process with a hidden file left behind.
void GuardOutputFiles();

// Sets the heap up for a batch of files: memory that one file's conversion frees stays with the
// process for the next file, instead of going back to the system and being faulted in afresh.
void KeepFreedMemoryForNextFile();

}  // namespace tunepak::platform
