#include "app/failure_class.h"

#include "base/result_codes.h"
#include "sys/error_code.h"

namespace velora::st {

namespace {

// A transfer's code: libcurl's, or the transfer client's own 101-107.
FailureClass transfer_class(int code) {
    switch (code) {
        case kCurlWriteError:
            return FailureClass::kDiskFull;
        case kCurlAbortedByCallback:
            return FailureClass::kCancelled;
        case kCurlHttpReturnedError:
        case kCurlRangeError:
        case kCurlFileSizeExceeded:
        case kDownloadHttpError:
        case kDownloadRangeRejected:
        case kDownloadTooManyRequests:
        case kDownloadHashMismatch:
        case kDownloadSizeMismatch:
            return FailureClass::kServer;
        case kDownloadDirError:
        case kDownloadOpenError:
            return FailureClass::kOther;
        default:
            return FailureClass::kNetwork;
    }
}

bool is_engine_code(int code) {
    return code == kSetupException || code == kSetupFileSystemError || code == kFdNoUrl ||
           code == kSetupNoClient || code == kSetupNoProcessHandle || code == kSetupNoInstallDir ||
           code == kSetupNoDownloadDir;
}

}  // namespace

FailureClass failure_class(RunStatus stage, int code) {
    if (code == kSetupDownloadCancelled) return FailureClass::kCancelled;
    // The whole transfer range, so that a client code added later lands by its kind.
    if (code > kSetupDownloadFailedBase && code < kSetupExitCodeBase)
        return transfer_class(code - kSetupDownloadFailedBase);
    if (code == kSetupInUse || code == kSetupSharingViolation) return FailureClass::kInUse;
    if (code == sys::kErrorDiskFull || code == sys::kErrorHandleDiskFull)
        return FailureClass::kDiskFull;
    if (code == kSetupDowngradeRefused) return FailureClass::kDowngrade;
    // 920-929: the release's trust (signatures, their expiry, documents that do not match).
    if (code >= kSetupUntrustedRelease && code < kSetupUntrustedRelease + 10)
        return FailureClass::kUntrusted;
    // 900-919: what the servers sent.
    if (code >= kSetupNotJson && code < kSetupUntrustedRelease) return FailureClass::kServer;
    if (code >= kDownloadDirError && code <= kDownloadSizeMismatch) return transfer_class(code);
    // The check stage's transfers pass libcurl's code on as it is.
    if (stage <= RunStatus::kChecking && code > 0 && code < 100 && !is_engine_code(code))
        return transfer_class(code);
    return FailureClass::kOther;
}

bool retry_can_help(FailureClass kind) {
    switch (kind) {
        case FailureClass::kNetwork:
        case FailureClass::kServer:
        case FailureClass::kDiskFull:
        case FailureClass::kInUse:
        case FailureClass::kOther:
            return true;
        case FailureClass::kUntrusted:
        case FailureClass::kDowngrade:
        case FailureClass::kCancelled:
            return false;
    }
    return false;
}

std::string failure_detail(RunStatus stage, int code, const std::string& message) {
    switch (stage) {
        case RunStatus::kStarting:
        case RunStatus::kChecking:
            return "code:" + std::to_string(code) + " " + message;
        case RunStatus::kDownloading:
            // A download that is not what the vendor signed says why.
            if (code == kSetupUntrustedRelease && !message.empty())
                return "download failed code: " + std::to_string(code) + " " + message;
            return "download failed code: " + std::to_string(code);
        case RunStatus::kInstalling:
        case RunStatus::kDone:
            break;
    }
    if (code == kSetupInUse && !message.empty()) return "files are in use by:\n" + message;
    return "code: " + std::to_string(code) + " install error";
}

}  // namespace velora::st
