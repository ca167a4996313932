#include <windows.h>

#include <string>

#include "base/crypto.h"
#include "base/utf8_path.h"
#include "sys/error_code.h"
#include "sys/named_mutex.h"

// Kernel mutex objects: the name lives as long as a handle to it is open.
namespace velora::sys {

namespace {

std::wstring wide_name(std::string_view name) {
    if (name.empty()) return {};
    const int size =
        ::MultiByteToWideChar(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), result.data(),
                          size);
    return result;
}

bool valid_name(std::string_view name) {
    return !name.empty() && name.find('\\') == std::string_view::npos;
}

HANDLE as_handle(int handle) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle)); }

// Global\ reaches every session of the machine; the key is the folder's canonical path in
// one case, as NTFS compares names.
std::wstring folder_mutex_name(std::string_view name, const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::path canonical =
        std::filesystem::weakly_canonical(std::filesystem::absolute(folder, ec), ec);
    if (ec) canonical = folder.lexically_normal();
    if (canonical.has_relative_path() && canonical.filename().empty())
        canonical = canonical.parent_path();
    std::wstring text = canonical.wstring();
    if (!text.empty()) ::CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return L"Global\\" + wide_name(name) + L"." +
           wide_name(md5_hex(utf8_of(std::filesystem::path(text))));
}

bool held(const std::wstring& name) {
    HANDLE mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
    if (mutex != nullptr) {
        ::CloseHandle(mutex);
        return true;
    }
    // An elevated holder's mutex is closed to other users: it exists all the same.
    return ::GetLastError() == ERROR_ACCESS_DENIED;
}

}  // namespace

bool NamedMutex::exists(std::string_view name, const std::filesystem::path& folder) {
    return valid_name(name) && held(folder_mutex_name(name, folder));
}

namespace {

// The owned mutex's handle as the portable int, or -1 with the system code.
int create_named(const std::wstring& system_name, int& code) {
    HANDLE mutex = ::CreateMutexW(nullptr, TRUE, system_name.c_str());
    if (mutex == nullptr) {
        const DWORD error = ::GetLastError();
        // Made by an elevated holder and closed to this user: someone holds it.
        code = error == ERROR_ACCESS_DENIED ? kErrorAlreadyExists : static_cast<int>(error);
        return -1;
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex);
        code = kErrorAlreadyExists;
        return -1;
    }
    code = kErrorSuccess;
    // Kernel handles are small multiples of four, so they fit the portable int.
    return static_cast<int>(reinterpret_cast<intptr_t>(mutex));
}

}  // namespace

std::unique_ptr<NamedMutex> NamedMutex::create_owned(std::string_view name,
                                                     const std::filesystem::path& folder,
                                                     int* system_code) {
    int code = kErrorInvalidParameter;
    const int handle = valid_name(name) ? create_named(folder_mutex_name(name, folder), code) : -1;
    if (system_code != nullptr) *system_code = code;
    if (handle < 0) return nullptr;
    return std::unique_ptr<NamedMutex>(new NamedMutex(std::string(name), handle));
}

NamedMutex::~NamedMutex() { release(); }

void NamedMutex::release() {
    if (handle_ < 0) return;
    ::ReleaseMutex(as_handle(handle_));
    ::CloseHandle(as_handle(handle_));
    handle_ = -1;
}

}  // namespace velora::sys
