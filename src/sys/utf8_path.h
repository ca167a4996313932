#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// Paths travel as UTF-8 text (log lines, JSON, registry values, command lines).
// path::string() would give the ANSI code page on Windows and lose what it cannot show.
namespace velora::sys {

std::string utf8_of(const std::filesystem::path& path);
std::filesystem::path path_from_utf8(std::string_view text);

}  // namespace velora::sys
