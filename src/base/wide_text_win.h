#pragma once

#include <string>
#include <string_view>

// UTF-8 text to and from the UTF-16 the Windows API takes.
namespace velora::sys {

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view utf16);

}  // namespace velora::sys
