#include <windows.h>

#include <cstdlib>

#include "base/wide_text_win.h"
#include "sys/environment.h"

namespace velora::sys {

std::optional<std::string> command_line_tail() {
    const wchar_t* line = GetCommandLineW();
    if (line == nullptr) return std::string();
    // The program name ends at its closing quote, or unquoted at the first blank, as the
    // runtime finds it for WinMain's command line.
    if (*line == L'"') {
        ++line;
        while (*line != L'\0' && *line != L'"') ++line;
        if (*line == L'"') ++line;
    } else {
        while (*line != L'\0' && *line != L' ' && *line != L'\t') ++line;
    }
    while (*line == L' ' || *line == L'\t') ++line;
    return narrow(line);
}

std::optional<std::string> environment_variable(const std::string& name) {
    // The C runtime's wide copy, which set_environment_variable keeps in step.
    const wchar_t* value = _wgetenv(widen(name).c_str());
    if (value == nullptr || *value == L'\0') return std::nullopt;
    return narrow(value);
}

bool set_environment_variable(const std::string& name, const std::string& value) {
    // The C runtime's copy and the system's block both change, so getenv and the
    // programs started later see the same value.
    const std::wstring wide_name = widen(name);
    if (wide_name.empty()) return false;
    return _wputenv_s(wide_name.c_str(), widen(value).c_str()) == 0;
}

void release_own_console() {
    // The console's process list holds only this process when the console was made for it.
    DWORD processes[2];
    if (GetConsoleWindow() != nullptr && GetConsoleProcessList(processes, 2) == 1) FreeConsole();
}

}  // namespace velora::sys
