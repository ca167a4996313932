#pragma once

#include <cstddef>
#include <iterator>

// Every result code of the installer. The numbers are logged, shown in the window, reported
// to the log-collection service and stored, and the suite compares them: a code keeps its
// number for good. scripts/code-check refuses code numbers defined anywhere else.
//
// System error codes in the Windows numbering (2 file not found, 5 access denied...) are
// results too, passed on as the platform layer reports them; they live in sys/error_code.h.
namespace velora {

// 2100 + code: a transfer that failed with libcurl's code or the transfer client's own
// 101-107 (2142 is the cancelled one, below). Only ever added to, hence a plain integer.
inline constexpr int kSetupDownloadFailedBase = 2100;
// libcurl's codes that the installer's transfers turn into failures of their own kind; any
// other code of a transfer means the connection did not get through or broke off.
inline constexpr int kCurlHttpReturnedError = 22;
inline constexpr int kCurlWriteError = 23;  // the file could not be written: the disk is full
inline constexpr int kCurlRangeError = 33;
inline constexpr int kCurlAbortedByCallback = 42;
inline constexpr int kCurlFileSizeExceeded = 63;
// 100000 + code: the exit code of a program the installer started (the full installer),
// or the system code of a start that failed.
inline constexpr int kSetupExitCodeBase = 100000;

enum SetupResult : int {
    kSetupOk = 0,

    // 11-20: the engine and the machine it runs on.
    kSetupException = 11,
    // The file system refused an operation, or a folder it needs (the temporary folder
    // of the report archive) is missing.
    kSetupFileSystemError = 12,
    kFdNoUrl = 13,               // a download without an address
    kSetupNoClient = 15,         // no transfer client for the request or the part
    kSetupNoProcessHandle = 16,  // also: the application executable to start is missing
    kSetupInUse = 17,            // a held file could be neither moved aside nor skipped
    kSetupNoInstallDir = 19,
    kSetupNoDownloadDir = 20,

    // 32: a file held by a running program; the system's sharing violation, passed on.
    kSetupSharingViolation = 32,

    // 100-113: the transfer client, the engine's checks of what it fetched, the report
    // archiver and the engine's state. 100-102 also name the archive's output failures
    // (UnzipResult), which only the install step returns.
    kDownloadDirError = 101,  // the target's folder cannot be made
    kDownloadOpenError = 102,
    kDownloadHttpError = 103,
    kDownloadRangeRejected = 104,
    kDownloadTooManyRequests = 105,  // HTTP 429
    // The downloaded content does not have the MD5 digest its manifest hash names; a file
    // failing for good with it gives 2206.
    kDownloadHashMismatch = 106,
    // A downloaded file whose size is not the manifest's fileSize (2207 for good).
    kDownloadSizeMismatch = 107,
    kArchiverFailed = 110,  // the suite's archiver did not pack the logs for upload
    kSetupUninitialized = 113,

    // 900-923: what the servers sent, and whether the release can be trusted.
    kSetupNotJson = 900,
    // Server data the engine cannot use: a version answer or manifest that is too large,
    // lacks what it must hold or says the service has stopped; a manifest entry that is
    // malformed or leaves the install directory; a download without a usable Content-Length
    // or with a negative size.
    kSetupBadServerData = 902,
    // The downloaded or assembled file does not have the size the server announced. A file
    // longer than that, or one the server calls complete (416), is removed; a shorter one
    // is kept so that the next call resumes it.
    kFdSizeMismatch = 903,
    // The build pins release keys and the version answer or manifest has no valid
    // signature by one of them, or the two signed documents do not belong together.
    kSetupUntrustedRelease = 920,
    // A signed release older than the installed version, without --allow-downgrade.
    kSetupDowngradeRefused = 921,
    // The build pins release keys and the signed version answer names no expiry, or one that
    // has passed: an old answer replayed would hold the installer on an old release.
    kSetupReleaseExpired = 922,
    // The build pins release keys and a signed document names another product or platform,
    // or none: a release for another suite or system must not be installed here.
    kSetupReleaseOtherTarget = 923,

    // kSetupDownloadFailedBase + libcurl's CURLE_ABORTED_BY_CALLBACK: the user cancelled.
    kSetupDownloadCancelled = 2142,
};

// Extraction of the package archive: 100-102 fail an entry's folder, output file or data,
// 2001-2007 the archive itself, an entry's header, its name or what the manifest says of it.
enum UnzipResult : int {
    kUnzipOk = 0,
    kUnzipMakeDirFailed = 100,
    kUnzipOpenOutputFailed = 101,
    kUnzipReadFailed = 102,
    kUnzipOpenArchiveFailed = 2001,
    kUnzipGlobalInfoFailed = 2002,
    kUnzipEntryInfoFailed = 2003,
    kUnzipOpenEntryFailed = 2004,
    kUnzipUnsafeEntryName = 2005,  // absolute, or leaving the output folder
    // A signed archive: an entry the manifest does not list, or lists once but that comes
    // twice; an entry whose size is not the manifest's.
    kUnzipEntryNotListed = 2006,
    kUnzipEntryWrongSize = 2007,
};

// The installer's process exit code. The window and the unattended run end with the first
// three; start-up ends with the others, and with kExitFailed when no install directory was
// given and there is no app-data folder to put one in.
enum ExitCode : int {
    kExitDone = 0,
    kExitCancelled = 1,
    kExitFailed = 2,
    kExitAlreadyRunning = -1,  // an installer of the same privilege level runs
    kExitInstallDirectoryNotCreated = -2,
};

// A result reaches the logs and reports without saying which step gave it, so a new code
// must not take a number in use. Left out: kUnzipOk, and the archive's 101 and 102, which
// share their numbers with the transfer client's (kept as they are reported).
namespace result_codes_detail {
inline constexpr int kDistinctCodes[] = {kSetupOk,
                                         kSetupException,
                                         kSetupFileSystemError,
                                         kFdNoUrl,
                                         kSetupNoClient,
                                         kSetupNoProcessHandle,
                                         kSetupInUse,
                                         kSetupNoInstallDir,
                                         kSetupNoDownloadDir,
                                         kSetupSharingViolation,
                                         kDownloadDirError,
                                         kDownloadOpenError,
                                         kDownloadHttpError,
                                         kDownloadRangeRejected,
                                         kDownloadTooManyRequests,
                                         kDownloadHashMismatch,
                                         kDownloadSizeMismatch,
                                         kArchiverFailed,
                                         kSetupUninitialized,
                                         kSetupNotJson,
                                         kSetupBadServerData,
                                         kFdSizeMismatch,
                                         kSetupUntrustedRelease,
                                         kSetupDowngradeRefused,
                                         kSetupReleaseExpired,
                                         kSetupReleaseOtherTarget,
                                         kSetupDownloadCancelled,
                                         kUnzipMakeDirFailed,
                                         kUnzipOpenArchiveFailed,
                                         kUnzipGlobalInfoFailed,
                                         kUnzipEntryInfoFailed,
                                         kUnzipOpenEntryFailed,
                                         kUnzipUnsafeEntryName,
                                         kUnzipEntryNotListed,
                                         kUnzipEntryWrongSize};

constexpr bool all_distinct() {
    for (std::size_t i = 0; i < std::size(kDistinctCodes); ++i)
        for (std::size_t j = i + 1; j < std::size(kDistinctCodes); ++j)
            if (kDistinctCodes[i] == kDistinctCodes[j]) return false;
    return true;
}
}  // namespace result_codes_detail
static_assert(result_codes_detail::all_distinct(), "two result codes share a number");

// The transfer range (2100 + libcurl's code or the client's 101-107) must stay clear of
// the archive's codes below it and of the started programs' range above it.
static_assert(kSetupDownloadFailedBase > kUnzipEntryWrongSize);
static_assert(kSetupDownloadFailedBase + kDownloadSizeMismatch < kSetupExitCodeBase);

}  // namespace velora
