#include <windows.h>

#include <string>

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

}  // namespace

bool NamedMutex::exists(std::string_view name) {
    if (!valid_name(name)) return false;
    HANDLE mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, wide_name(name).c_str());
    if (mutex == nullptr) return false;
    ::CloseHandle(mutex);
    return true;
}

std::unique_ptr<NamedMutex> NamedMutex::create_owned(std::string_view name, int* system_code) {
    auto fail = [system_code](int code) {
        if (system_code != nullptr) *system_code = code;
        return std::unique_ptr<NamedMutex>();
    };
    if (!valid_name(name)) return fail(kErrorInvalidParameter);
    HANDLE mutex = ::CreateMutexW(nullptr, TRUE, wide_name(name).c_str());
    if (mutex == nullptr) return fail(static_cast<int>(::GetLastError()));
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex);
        return fail(kErrorAlreadyExists);
    }
    if (system_code != nullptr) *system_code = kErrorSuccess;
    // Kernel handles are small multiples of four, so they fit the portable int.
    return std::unique_ptr<NamedMutex>(
        new NamedMutex(std::string(name), static_cast<int>(reinterpret_cast<intptr_t>(mutex))));
}

NamedMutex::~NamedMutex() { release(); }

void NamedMutex::release() {
    if (handle_ < 0) return;
    ::ReleaseMutex(as_handle(handle_));
    ::CloseHandle(as_handle(handle_));
    handle_ = -1;
}

}  // namespace velora::sys
