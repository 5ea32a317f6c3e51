#include "wildcard.h"

#include <algorithm>

#include "platform.h"

namespace tunepak {

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool WildcardMatch(std::string_view pattern, std::string_view name) {
    // Greedy matching with one backtrack point: the last '*' seen.
    std::size_t p = 0, n = 0;
    std::size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || Lower(pattern[p]) == Lower(name[n])) &&
            pattern[p] != '*') {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::size_t DirectoryPartLength(std::string_view path, platform::PathStyle style) {
    if (style == platform::PathStyle::posix) return path.rfind('/') + 1;  // npos + 1 is 0
    const std::size_t separator = path.find_last_of("/\\");
    if (separator != std::string_view::npos) return separator + 1;
    const bool drive = path.size() >= 2 && path[1] == ':' &&
                       ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    return drive ? 2 : 0;
}

std::vector<std::string> FindMatches(const std::string& directory, std::string_view pattern) {
    std::vector<std::string> matches;
    for (std::string& name : platform::ListDirectory(directory)) {
        if (name.front() == '.' && (pattern.empty() || pattern.front() != '.')) continue;
        if (WildcardMatch(pattern, name)) matches.push_back(std::move(name));
    }
    std::sort(matches.begin(), matches.end());
    return matches;
}

}  // namespace tunepak
