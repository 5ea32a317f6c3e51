// Directory search with the wildcards '*' (any run of bytes) and '?' (one byte).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform.h"

namespace tunepak {

// The length of the directory part of `path`: up to and including its last separator, or its
// drive prefix ("C:") when it has no separator after one; 0 when it is a bare name.
std::size_t DirectoryPartLength(std::string_view path,
                                platform::PathStyle style = platform::nativePathStyle);

// Whether `name` matches `pattern`; ASCII letters compare case-insensitively.
bool WildcardMatch(std::string_view pattern, std::string_view name);

// The entries of `directory` ("" for the current one) whose names match `pattern`, in the byte
// order of their names. "." and ".." never match, and a name that begins with '.' matches only
// a pattern that begins with '.'.
std::vector<std::string> FindMatches(const std::string& directory, std::string_view pattern);

}  // namespace tunepak
