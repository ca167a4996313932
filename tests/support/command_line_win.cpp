#include "support/command_line_win.h"

#include "base/wide_text_win.h"
#include "sys/shell.h"

namespace castmill::test {

namespace fs = std::filesystem;

std::wstring command_line_of(const fs::path& program, const std::vector<std::string>& args) {
    std::string line = velora::sys::param_word(velora::sys::narrow(program.wstring()), true);
    for (const std::string& arg : args) line += " " + velora::sys::param_word(arg);
    return velora::sys::widen(line);
}

fs::path program_file(const fs::path& program) {
    std::error_code ec;
    if (program.has_extension() || fs::exists(program, ec)) return program;
    fs::path with_suffix = program;
    with_suffix += ".exe";
    return fs::exists(with_suffix, ec) ? with_suffix : program;
}

}  // namespace castmill::test
