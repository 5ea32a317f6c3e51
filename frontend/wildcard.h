// Directory search with the wildcards '*' (any run of bytes) and '?' (one byte).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tunepak {

// Whether `name` matches `pattern`; ASCII letters compare case-insensitively.
bool WildcardMatch(std::string_view pattern, std::string_view name);

// The entries of `directory` ("" for the current one) whose names match `pattern`, in the byte
// order of their names. "." and ".." never match, and a name that begins with '.' matches only
// a pattern that begins with '.'.
std::vector<std::string> FindMatches(const std::string& directory, std::string_view pattern);

}  // namespace tunepak
