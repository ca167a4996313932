#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace castmill::test {

// The command line CreateProcessW gets for a program and its arguments, each quoted so
// that the program's C runtime reads it back as one unchanged argument.
std::wstring command_line_of(const std::filesystem::path& program,
                             const std::vector<std::string>& args);

// The program file to start: the path as given, or with ".exe" when only that exists.
std::filesystem::path program_file(const std::filesystem::path& program);

}  // namespace castmill::test
