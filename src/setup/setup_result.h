#pragma once

// Event codes sent to the log-collection service; the result codes are in
// base/result_codes.h. Module mode uses the I91xx column, full-package mode the I92xx column.
namespace velora::st {

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
