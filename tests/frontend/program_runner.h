// Running the built programs from tests: a temporary working directory, the program's output
// and exit code, and small file helpers.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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

// How a Child starts.
struct ChildOptions {
    std::vector<std::string> environment;  // "NAME=value" entries added to the test's own
    rlim_t fileSizeLimit = RLIM_INFINITY;   // the largest file it may write
};

// A program started with its standard output on a pipe, for watching it while it runs, limiting
// it and interrupting it. Killed and waited for at the end, if it is still running.
class Child {
public:
    Child(const std::string& program, const std::string& argument, const fs::path& where,
          const ChildOptions& options = {}) {
        int ends[2];
        if (pipe(ends) != 0) {
            ADD_FAILURE() << "no pipe";
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(ends[1], STDOUT_FILENO);
            close(ends[0]);
            close(ends[1]);
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, STDIN_FILENO);
            const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
            for (const std::string& entry : options.environment) {
                putenv(const_cast<char*>(entry.c_str()));
            }
            if (chdir(where.c_str()) == 0) {
                execl(program.c_str(), program.c_str(), argument.c_str(), nullptr);
            }
            _exit(127);
        }
        close(ends[1]);
        out_ = ends[0];
        if (pid_ < 0) ADD_FAILURE() << "cannot fork";
    }
    ~Child() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            Wait();
        }
        if (out_ >= 0) close(out_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // The next line of its output, waiting for it up to `limit`; what there is (maybe not a
    // whole line) at the end of the output or of the time.
    std::string ReadLine(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::string line;
        char c = 0;
        while (line.empty() || line.back() != '\n') {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd ready{out_, POLLIN, 0};
            if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0 ||
                read(out_, &c, 1) != 1) {
                break;
            }
            line += c;
        }
        return line;
    }

    // The rest of its output, up to its end or `limit`; `timedOut` tells which.
    std::string ReadRest(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::string rest;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (std::string line; !(line = ReadLine(limit)).empty();) {
            rest += line;
            if (std::chrono::steady_clock::now() >= deadline) break;
        }
        timedOut = std::chrono::steady_clock::now() >= deadline;
        return rest;
    }

    bool Running() {
        if (status_ < 0 && waitpid(pid_, &status_, WNOHANG) == 0) status_ = -1;
        return status_ < 0;
    }
    void Signal(int signal) const { kill(pid_, signal); }

    // Its wait status, once it has ended.
    int Wait() {
        if (status_ < 0) waitpid(pid_, &status_, 0);
        return status_;
    }

    bool timedOut = false;

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = -1;
};

}  // namespace tunepak::test
