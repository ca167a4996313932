#include "sys/error_code.h"

#include <cerrno>

#include "base/result_codes.h"

namespace velora::sys {

// The install passes a sharing violation on as its result.
static_assert(kSetupSharingViolation == kErrorSharingViolation);

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
