#include <windows.h>

#include "base/debugger.h"
#include "base/wide_text_win.h"

namespace velora::sys {

bool debugger_attached() { return IsDebuggerPresent() != FALSE; }

void debugger_print(std::string_view utf8_text) {
    const std::wstring text = widen(utf8_text);
    if (text.empty()) return;
    OutputDebugStringW(text.c_str());
}

}  // namespace velora::sys
