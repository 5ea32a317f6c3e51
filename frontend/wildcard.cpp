#include "wildcard.h"

#include <dirent.h>

#include <algorithm>

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

std::vector<std::string> FindMatches(const std::string& directory, std::string_view pattern) {
    std::vector<std::string> matches;
    DIR* dir = opendir(directory.empty() ? "." : directory.c_str());
    if (dir == nullptr) return matches;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (name.front() == '.' && (pattern.empty() || pattern.front() != '.')) continue;
        if (WildcardMatch(pattern, name)) matches.emplace_back(name);
    }
    closedir(dir);
    std::sort(matches.begin(), matches.end());
    return matches;
}

}  // namespace tunepak
