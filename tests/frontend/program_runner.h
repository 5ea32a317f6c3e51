// Running the built programs from tests: a temporary working directory, the program's output
// and exit code, and small file helpers.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

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

// A fresh directory under /tmp, removed with everything in it at the end of the test.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        char pattern[] = "/tmp/tunepak-test-XXXXXX";
        if (mkdtemp(pattern) != nullptr) path_ = pattern;
        EXPECT_FALSE(path_.empty());
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const fs::path& path() const { return path_; }

    // Runs `program` with argument words (already shell-quoted) in `where` (this directory when
    // empty); the output is caught in files of this directory.
    Outcome Run(const std::string& program, const std::string& arguments,
                const fs::path& where = {}) const {
        const fs::path cwd = where.empty() ? path_ : where;
        const fs::path out = path_ / ".out";
        const fs::path err = path_ / ".err";
        const std::string command = "cd '" + cwd.string() + "' && '" + program + "' " + arguments +
                                    " > '" + out.string() + "' 2> '" + err.string() + "'";
        const int status = std::system(command.c_str());
        Outcome outcome;
        outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        outcome.out = ReadText(out);
        outcome.err = ReadText(err);
        fs::remove(out);
        fs::remove(err);
        return outcome;
    }

private:
    fs::path path_;
};

}  // namespace tunepak::test
