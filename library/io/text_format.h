// printf-style formatting into std::string, for the console and report texts.
#pragma once

#include <cstdio>
#include <string>

namespace tunepak {

template <class... Args>
void AppendFormat(std::string& out, const char* format, Args... args) {
    const int length = std::snprintf(nullptr, 0, format, args...);
    if (length <= 0) return;
    const std::size_t start = out.size();
    out.resize(start + static_cast<std::size_t>(length) + 1);
    std::snprintf(out.data() + start, static_cast<std::size_t>(length) + 1, format, args...);
    out.resize(start + static_cast<std::size_t>(length));
}

template <class... Args>
std::string Format(const char* format, Args... args) {
    std::string out;
    AppendFormat(out, format, args...);
    return out;
}

}  // namespace tunepak
