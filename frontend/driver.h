// The command-line driver: converts every file that matches its one argument.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tunepak {

// Exit codes.
inline constexpr int exitDone = 0;
inline constexpr int exitUsage = 1;
inline constexpr int exitFailed = 2;   // some file did not convert
inline constexpr int exitNotFound = 3; // a matched file could not be opened

// The output base name of a source path: its last component without the last extension,
// lower-cased, with the first character upper-cased (ASCII letters only).
std::string OutputBaseName(std::string_view path);

// Why a load failed, as the console says it, for a nonzero LoadModule result; `buffer` holds
// the text of an unnamed code.
const char* LoadFailure(int result, char (&buffer)[32]);

// A size in bytes as the console shows it: kilobytes, halves rounded up.
unsigned SizeFigure(unsigned long long bytes);

// The version that the programs' --version prints.
extern const char* const programVersion;

// The programs' answer to --help or -h (the usage line, then `help`) and to --version (the
// program's name and version), printed on standard output; the exit code when `argument` asks
// for either, nothing when it is another argument.
std::optional<int> AnswerHelpOrVersion(std::string_view argument, const char* program,
                                       const char* usage, const std::string& help);

// Runs the program on its arguments (without the program name); returns the exit code.
int RunTunepak(int argc, const char* const* argv);

// Called with each source's path and size as soon as the source is open, before it is read.
using SourceOpenedHook = void (*)(const std::string& path, unsigned long long size);

// The whole program, as its main function runs it: sets the process up for writing its files,
// then runs it on the command line. `sourceOpened` is for the tests' build of the program, which
// changes the sources under a run; the program itself has none.
int TunepakMain(int argc, char** argv, SourceOpenedHook sourceOpened = nullptr);

}  // namespace tunepak
