#pragma once

#include <filesystem>
#include <string>

namespace castmill::test {

// What a shell link (.lnk) holds, read back through the shell's own objects; all empty
// when the file cannot be loaded as a link.
struct ShellLinkFields {
    std::wstring path;
    std::wstring arguments;
    std::wstring description;
    std::wstring workdir;
};

ShellLinkFields read_shell_link(const std::filesystem::path& link);

}  // namespace castmill::test
