#include "sys/error_code.h"

#include <cerrno>

namespace velora::sys {

// The one errno mapping: POSIX calls and the C runtime on Windows both report through errno.
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

}  // namespace velora::sys
