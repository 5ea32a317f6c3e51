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
