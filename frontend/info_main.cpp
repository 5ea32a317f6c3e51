// tunepak-info: checks packed modules and tells what they, or source modules, hold.

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "driver.h"
#include "info.h"
#include "platform.h"
#include "summary.h"

namespace tunepak {
namespace {

constexpr const char* usageText =
    "Usage : tunepak-info [--patterns] [--json] [--extract DIR] FILE...\n";

constexpr const char* helpText =
    "Checks packed .vmz modules (header, length, CRC-32, compressed stream) and summarises\n"
    "the module inside; for any other file, summarises what tunepak would write from it.\n"
    "  --patterns     show every pattern as a grid of rows and channels\n"
    "  --json         print one JSON document per file, one per line\n"
    "  --extract DIR  write the AM image of each packed module to DIR/<Base>.am\n"
    "Exit code 0 when every file is intact, 2 when any is damaged or cannot be loaded.\n";

struct Options {
    bool patterns = false;
    bool json = false;
    InspectOptions inspect;
    std::vector<std::string> files;
};

int Usage() {
    std::printf("%s", usageText);
    return exitUsage;
}

int RunTunepakInfo(int argc, const char* const* argv) {
    Options options;
    bool optionsEnded = false;
    for (int i = 0; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            options.files.emplace_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (const auto answered =
                       AnswerHelpOrVersion(argument, "tunepak-info", usageText, helpText)) {
            return *answered;
        } else if (argument == "--patterns") {
            options.patterns = true;
        } else if (argument == "--json") {
            options.json = true;
        } else if (argument == "--extract" && i + 1 < argc) {
            options.inspect.extractDirectory = argv[++i];
        } else if (argument.starts_with("--extract=") && argument.size() > 10) {
            options.inspect.extractDirectory = std::string(argument.substr(10));
        } else {
            std::fprintf(stderr, "tunepak-info: unknown or incomplete option '%s'\n", argv[i]);
            return Usage();
        }
    }
    if (options.files.empty()) return Usage();

    int exitCode = exitDone;
    bool first = true;
    for (const std::string& file : options.files) {
        const FileReport report = InspectFile(file, options.inspect);
        if (options.json) {
            std::fputs(JsonReport(report, options.patterns).c_str(), stdout);
        } else {
            if (!first) std::fputs("\n", stdout);
            std::fputs(TextReport(report, options.patterns).c_str(), stdout);
        }
        first = false;
        if (report.status != Status::ok) exitCode = exitFailed;
    }
    return exitCode;
}

}  // namespace
}  // namespace tunepak

int main(int argc, char** argv) {
    tunepak::platform::GuardOutputFiles();  // --extract writes files
    const tunepak::platform::ProgramArguments arguments(argc, argv);
    return tunepak::RunTunepakInfo(arguments.Count(), arguments.Words());
}
