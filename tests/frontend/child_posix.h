// A program run from a test with POSIX means (fork, a pipe, signals, resource limits), for
// watching a batch while it runs, limiting it and interrupting it. POSIX only: the tests that
// use it are not built for Windows.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "program_runner.h"

namespace tunepak::test {

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
          const ChildOptions& options = {})
        : Child(program, std::vector<std::string>{argument}, where, options) {}

    Child(const std::string& program, const std::vector<std::string>& arguments,
          const fs::path& where, const ChildOptions& options = {}) {
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
            std::vector<char*> argv = {const_cast<char*>(program.c_str())};
            for (const std::string& argument : arguments) {
                argv.push_back(const_cast<char*>(argument.c_str()));
            }
            argv.push_back(nullptr);
            if (chdir(where.c_str()) == 0) execv(program.c_str(), argv.data());
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

    // Stops reading its output, as a pipe into a program that has stopped reading does.
    void CloseOutput() {
        if (out_ >= 0) close(out_);
        out_ = -1;
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
