#include <windows.h>

#include "program_runner.h"

namespace tunepak::test {

namespace {

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                         nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
    return wide;
}

// `word` quoted for a command line as the C runtime splits it: inside double quotes, a run of
// backslashes is doubled when a double quote follows it.
std::wstring Quoted(const std::wstring& word) {
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : word) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

// A handle for the child's standard output or error: the file, created afresh.
HANDLE OutputFile(const fs::path& path) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

int RunProgram(const fs::path& program, const std::vector<std::string>& words, const fs::path& cwd,
               const fs::path& out, const fs::path& err) {
    std::wstring commandLine = Quoted(program.wstring());
    for (const std::string& word : words) commandLine += L" " + Quoted(Wide(word));

    const HANDLE outHandle = OutputFile(out);
    const HANDLE errHandle = OutputFile(err);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outHandle;
    startup.hStdError = errHandle;
    PROCESS_INFORMATION process{};
    DWORD exitCode = static_cast<DWORD>(-1);
    const bool started = outHandle != INVALID_HANDLE_VALUE && errHandle != INVALID_HANDLE_VALUE &&
                         CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr,
                                        TRUE, 0, nullptr, cwd.c_str(), &startup, &process);
    if (started) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    if (outHandle != INVALID_HANDLE_VALUE) CloseHandle(outHandle);
    if (errHandle != INVALID_HANDLE_VALUE) CloseHandle(errHandle);
    return static_cast<int>(exitCode);
}

// Console streams are in text mode: each '\n' reaches the file as "\r\n".
std::string ConsoleText(const fs::path& path) {
    const std::string raw = ReadText(path);
    std::string text;
    text.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\r' || i + 1 == raw.size() || raw[i + 1] != '\n') text += raw[i];
    }
    return text;
}

}  // namespace tunepak::test
