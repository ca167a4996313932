#include "sys/error_code.h"

#include <cerrno>
#include <string>

#include "base/result_codes.h"

namespace velora::sys {

// The install passes a sharing violation on as its result.
static_assert(kSetupSharingViolation == kErrorSharingViolation);

namespace {

class SystemCodeCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "system code"; }
    std::string message(int code) const override { return "error " + std::to_string(code); }
};

}  // namespace

const std::error_category& system_code_category() {
    static const SystemCodeCategory category;
    return category;
}

std::error_code error_of_system_code(int code) { return {code, system_code_category()}; }

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
