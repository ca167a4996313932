// clang-format off
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
// clang-format on

#include "support/shell_link_win.h"

namespace castmill::test {

ShellLinkFields read_shell_link(const std::filesystem::path& link) {
    ShellLinkFields fields;
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IShellLinkW* shell_link = nullptr;
    IPersistFile* file = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&shell_link))) &&
        SUCCEEDED(shell_link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
        SUCCEEDED(file->Load(link.c_str(), STGM_READ))) {
        constexpr int kChars = 2048;
        wchar_t text[kChars] = {};
        if (SUCCEEDED(shell_link->GetPath(text, kChars, nullptr, SLGP_RAWPATH))) fields.path = text;
        text[0] = L'\0';
        if (SUCCEEDED(shell_link->GetArguments(text, kChars))) fields.arguments = text;
        text[0] = L'\0';
        if (SUCCEEDED(shell_link->GetDescription(text, kChars))) fields.description = text;
        text[0] = L'\0';
        if (SUCCEEDED(shell_link->GetWorkingDirectory(text, kChars))) fields.workdir = text;
    }
    if (file) file->Release();
    if (shell_link) shell_link->Release();
    if (SUCCEEDED(com)) CoUninitialize();
    return fields;
}

}  // namespace castmill::test
