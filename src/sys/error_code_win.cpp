#include <windows.h>

#include <cerrno>

#include "sys/error_code.h"

namespace velora::sys {

// The C runtime still reports through errno; its values map as on POSIX.
int system_code_from_errno(int err, bool for_file) {
    switch (err) {
        case 0:
            return kErrorSuccess;
        case ENOENT:
            return kErrorFileNotFound;
        case ENOTDIR:
            return kErrorPathNotFound;
        case EACCES:
        case EPERM:
            return kErrorAccessDenied;
#ifdef ETXTBSY
        case ETXTBSY:
#endif
        case EBUSY:
            return kErrorSharingViolation;
        case EEXIST:
            return for_file ? kErrorFileExists : kErrorAlreadyExists;
        case ENOTEMPTY:
            return kErrorDirNotEmpty;
        case ENOSPC:
            return kErrorDiskFull;
        case EROFS:
            return kErrorWriteProtect;
        default:
            return kApplicationCodeBit | err;
    }
}

int system_code(const std::error_code& ec) {
    if (!ec) return kErrorSuccess;
    // The system category carries GetLastError codes, which are system codes already.
    if (ec.category() == std::system_category()) return ec.value();
    if (ec.category() == std::generic_category()) return system_code_from_errno(ec.value());
    return kApplicationCodeBit | ec.value();
}

int last_system_code() { return static_cast<int>(GetLastError()); }

}  // namespace velora::sys
