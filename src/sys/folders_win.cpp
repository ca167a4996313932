// The Windows headers need windows.h first.
// clang-format off
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>
// clang-format on

#include <string>

#include "sys/folders.h"

namespace velora::sys {

namespace fs = std::filesystem;

namespace {

std::optional<fs::path> shell_folder(int csidl) {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer)) ||
        buffer[0] == L'\0')
        return std::nullopt;
    return fs::path(buffer);
}

std::optional<fs::path> local_app_data() {
    PWSTR text = nullptr;
    std::optional<fs::path> folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &text)) && text && *text)
        folder = fs::path(text);
    CoTaskMemFree(text);
    return folder;
}

}  // namespace

std::optional<fs::path> temp_directory() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH) return std::nullopt;
    return fs::path(buffer);
}

std::optional<fs::path> known_folder(KnownFolder folder) {
    switch (folder) {
        case KnownFolder::LocalAppData:
            return local_app_data();
        case KnownFolder::RoamingAppData:
            return shell_folder(CSIDL_APPDATA);
        case KnownFolder::CommonDesktop:
            return shell_folder(CSIDL_COMMON_DESKTOPDIRECTORY);
        case KnownFolder::CommonPrograms:
            return shell_folder(CSIDL_COMMON_PROGRAMS);
        case KnownFolder::CommonAppData:
            return shell_folder(CSIDL_COMMON_APPDATA);
    }
    return std::nullopt;
}

std::optional<fs::path> executable_path() {
    // Long paths exceed MAX_PATH; grow until the name fits.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return std::nullopt;
        if (length < buffer.size()) {
            buffer.resize(length);
            return fs::path(buffer);
        }
        if (buffer.size() >= 32768) return std::nullopt;
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace velora::sys
