#include <windows.h>

#include <cerrno>

#include "sys/error_code.h"

namespace velora::sys {

// The numbers the portable code compares against are the system's own.
static_assert(kErrorSharingViolation == ERROR_SHARING_VIOLATION);
static_assert(kErrorUserMappedFile == ERROR_USER_MAPPED_FILE);

int system_code(const std::error_code& ec) {
    if (!ec) return kErrorSuccess;
    if (ec.category() == system_code_category()) return ec.value();
    // The system category carries GetLastError codes, which are system codes already.
    if (ec.category() == std::system_category()) return ec.value();
    // MinGW's std::filesystem reports every failed rename but a denied one as EIO; the
    // system's own code is then still the thread's last error.
    if (ec == std::errc::io_error && GetLastError() != ERROR_SUCCESS)
        return static_cast<int>(GetLastError());
    if (ec.category() == std::generic_category()) return system_code_from_errno(ec.value());
    return kApplicationCodeBit | ec.value();
}

int last_system_code() { return static_cast<int>(GetLastError()); }

}  // namespace velora::sys
