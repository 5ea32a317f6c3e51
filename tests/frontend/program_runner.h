// Running the built programs from tests: a temporary working directory, the program's output
// and exit code, and small file helpers.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"

namespace tunepak::test {

namespace fs = std::filesystem;

inline std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline Bytes ReadFile(const fs::path& path) {
    const std::string text = ReadText(path);
    return Bytes(text.begin(), text.end());
}

inline void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// What a program run left: its exit code, standard output and standard error.
struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// The words of a shell-quoted argument text: blanks separate words, and single quotes keep
// blanks and wildcards inside one word (a word is never expanded).
std::vector<std::string> SplitWords(const std::string& arguments);

// Runs `program` with `words` as its arguments in the directory `cwd`, its standard output and
// standard error going to the files `out` and `err`; returns its exit code (-1 when it did not
// run or did not exit normally). The one place where the platforms differ for tests that run
// programs.
int RunProgram(const fs::path& program, const std::vector<std::string>& words, const fs::path& cwd,
               const fs::path& out, const fs::path& err);

// What a program wrote to a console stream caught in the file `path`, with the platform's line
// ends as '\n'.
std::string ConsoleText(const fs::path& path);

// A fresh directory in the system's temporary directory, removed with everything in it at the
// end of the test.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        std::random_device random;
        std::error_code error;
        const fs::path parent = fs::temp_directory_path(error);
        for (int attempt = 0; attempt < 100 && path_.empty() && !error; ++attempt) {
            const fs::path candidate = parent / ("tunepak-test-" + std::to_string(random()));
            if (fs::create_directory(candidate, error)) path_ = candidate;
        }
        EXPECT_FALSE(path_.empty());
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const fs::path& path() const { return path_; }

    // Runs `program` with argument words (shell-quoted, see SplitWords) in `where` (this
    // directory when empty); the output is caught in files of this directory.
    Outcome Run(const std::string& program, const std::string& arguments,
                const fs::path& where = {}) const {
        const fs::path out = path_ / ".out";
        const fs::path err = path_ / ".err";
        Outcome outcome;
        outcome.exitCode =
            RunProgram(program, SplitWords(arguments), where.empty() ? path_ : where, out, err);
        outcome.out = ConsoleText(out);
        outcome.err = ConsoleText(err);
        std::error_code ignored;
        fs::remove(out, ignored);
        fs::remove(err, ignored);
        return outcome;
    }

private:
    fs::path path_;
};

// Expects `program` (its name `name`) to answer --help and -h with the same text, which begins
// with `usage`, and --version with its name and version, both with exit code 0.
inline void ExpectHelpAndVersion(const TemporaryDirectory& where, const std::string& program,
                                 const std::string& name, const std::string& usage) {
    const Outcome help = where.Run(program, "--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind(usage, 0), 0u) << help.out;
    EXPECT_EQ(where.Run(program, "-h").out, help.out);
    const Outcome version = where.Run(program, "--version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind(name + " ", 0), 0u) << version.out;
}

// A test that runs tunepak in a temporary directory of its own.
class TunepakTest : public ::testing::Test {
protected:
    // Runs tunepak with the given argument words (already shell-quoted) in `where`.
    Outcome Tunepak(const std::string& arguments, const fs::path& where = {}) {
        return temporary.Run(TUNEPAK_EXE, arguments, where);
    }

    TemporaryDirectory temporary;
    const fs::path& dir = temporary.path();
};

}  // namespace tunepak::test
