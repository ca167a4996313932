#pragma once

#include <cstdint>
#include <system_error>

// System error codes as the Windows scheme numbers them. Results and log lines carry
// these on every platform, so the window and the reports show the same numbers.
namespace velora::sys {

inline constexpr int kErrorSuccess = 0;
inline constexpr int kErrorFileNotFound = 2;
inline constexpr int kErrorPathNotFound = 3;
inline constexpr int kErrorAccessDenied = 5;
inline constexpr int kErrorWriteProtect = 19;
inline constexpr int kErrorSharingViolation = 32;
inline constexpr int kErrorNotSupported = 50;
inline constexpr int kErrorFileExists = 80;
inline constexpr int kErrorInvalidParameter = 87;
inline constexpr int kErrorHandleDiskFull = 39;  // the other way the system says the disk is full
inline constexpr int kErrorDiskFull = 112;
inline constexpr int kErrorDirNotEmpty = 145;
inline constexpr int kErrorAlreadyExists = 183;
inline constexpr int kErrorBadDatabase = 1009;  // a settings store file is damaged
// A copy whose destination is mapped into a process's memory (Windows only).
inline constexpr int kErrorUserMappedFile = 1224;
// Bit 29 marks application-defined codes; errno values without a Windows twin carry it.
inline constexpr int kApplicationCodeBit = 0x20000000;

// Maps an errno value to its system code. `for_file` picks 80 instead of 183 for
// EEXIST, as a file (not a folder) creation reports it.
int system_code_from_errno(int err, bool for_file = false);

// The system code of an error from std::filesystem or the platform layer.
int system_code(const std::error_code& ec);

// An error_code that carries a system code as it is, for errors the platform layer reports
// by code and callers throw as std::filesystem::filesystem_error; system_code() gives the
// code back.
std::error_code error_of_system_code(int code);
const std::error_category& system_code_category();

// The last error of the calling thread as a system code (errno on POSIX).
int last_system_code();

}  // namespace velora::sys
