#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

// Paths travel as UTF-8 text (log lines, JSON, registry values, command lines).
// path::string() would give the ANSI code page on Windows and lose what it cannot show.
namespace velora::sys {

std::string utf8_of(const std::filesystem::path& path);
std::filesystem::path path_from_utf8(std::string_view text);

// std::fopen for a path: Windows takes the wide name, so names outside the ANSI code
// page open as well.
inline std::FILE* open_file(const std::filesystem::path& path, const char* mode) {
#ifdef _WIN32
    const std::wstring wide_mode(mode, mode + std::char_traits<char>::length(mode));
    return ::_wfopen(path.c_str(), wide_mode.c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
}

}  // namespace velora::sys
