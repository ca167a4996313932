#include "sys/error_code.h"

#include <cerrno>

namespace velora::sys {

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
        case ETXTBSY:
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
    if (ec.category() == std::generic_category() || ec.category() == std::system_category())
        return system_code_from_errno(ec.value());
    return kApplicationCodeBit | ec.value();
}

int last_system_code() { return system_code_from_errno(errno); }

}  // namespace velora::sys
