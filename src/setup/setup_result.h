#pragma once

// The engine's result codes and event codes. Each number is defined once, here.
namespace velora::st {

enum SetupResult : int {
    kSetupOk = 0,
    kSetupException = 11,
    kSetupFileSystemError = 12,
    kSetupNoClient = 15,
    kSetupNoProcessHandle = 16,  // also: the application executable to start is missing
    kSetupInUse = 17,            // a held file could be neither moved aside nor skipped
    kSetupNoInstallDir = 19,
    kSetupNoDownloadDir = 20,
    kSetupSharingViolation = 32,
    kSetupUninitialized = 113,
    kSetupNotJson = 900,
    kSetupBadServerData = 902,
    // The build pins release keys and the version answer or manifest has no valid
    // signature by one of them, or the two signed documents do not belong together.
    kSetupUntrustedRelease = 920,
    // A signed release older than the installed version, without --allow-downgrade.
    kSetupDowngradeRefused = 921,
    kSetupDownloadFailedBase = 2100,  // + libcurl code or the client's own 101-103
    kSetupDownloadCancelled = 2142,
    kSetupExitCodeBase = 100000,  // + exit code of the full installer or start failure code
};

// Extraction codes of the package archive.
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
};

// Event codes sent to the log-collection service. Module mode uses the I91xx column,
// full-package mode the I92xx column.
namespace EventCode {
inline constexpr const char* kStart = "I9100";
inline constexpr const char* kError = "I9101";
inline constexpr const char* kUserCancel = "I9102";
inline constexpr const char* kDownloaded = "I9103";
inline constexpr const char* kInstalled = "I9104";
inline constexpr const char* kAppStarted = "I9105";
inline constexpr const char* kFullStart = "I9200";
inline constexpr const char* kFullError = "I9201";
inline constexpr const char* kFullUserCancel = "I9202";
inline constexpr const char* kFullDownloaded = "I9203";
inline constexpr const char* kFullInstalled = "I9204";

// Picks the column by the module flags (greater than 0: module mode).
inline const char* by_mode(int modules, const char* module_code, const char* full_code) {
    return modules > 0 ? module_code : full_code;
}
}  // namespace EventCode

}  // namespace velora::st
