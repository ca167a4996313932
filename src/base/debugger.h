#pragma once

#include <string_view>

namespace velora::sys {

// Whether a debugger is attached to this process.
bool debugger_attached();

// Hands a line of text (UTF-8) to the attached debugger's output.
void debugger_print(std::string_view utf8_text);

}  // namespace velora::sys
