#include "base/wide_text_win.h"

#include <windows.h>

#include <climits>

namespace velora::sys {

std::wstring widen(std::string_view utf8) {
    if (utf8.empty() || utf8.size() > INT_MAX) return {};
    const int size = static_cast<int>(utf8.size());
    const int count = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    if (count <= 0) return {};
    std::wstring out(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, out.data(), count);
    return out;
}

std::string narrow(std::wstring_view utf16) {
    if (utf16.empty() || utf16.size() > INT_MAX) return {};
    const int size = static_cast<int>(utf16.size());
    const int count =
        WideCharToMultiByte(CP_UTF8, 0, utf16.data(), size, nullptr, 0, nullptr, nullptr);
    if (count <= 0) return {};
    std::string out(static_cast<size_t>(count), '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), size, out.data(), count, nullptr, nullptr);
    return out;
}

}  // namespace velora::sys
