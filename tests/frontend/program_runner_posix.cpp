#include <sys/wait.h>

#include <cstdlib>

#include "program_runner.h"

namespace tunepak::test {

namespace {

// `text` as one word of the shell, quoted.
std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

int RunProgram(const fs::path& program, const std::vector<std::string>& words, const fs::path& cwd,
               const fs::path& out, const fs::path& err) {
    std::string command = "cd " + Quoted(cwd.string()) + " && " + Quoted(program.string());
    for (const std::string& word : words) command += " " + Quoted(word);
    command += " > " + Quoted(out.string()) + " 2> " + Quoted(err.string());
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ConsoleText(const fs::path& path) { return ReadText(path); }

}  // namespace tunepak::test
