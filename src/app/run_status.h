#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// What the window and the unattended run share while they drive one install run: the
// statuses, the event reports of each stage and the progress figures.
namespace velora::st {

// Run statuses, as the reports carry them.
inline constexpr int kStatusChecking = 1;
inline constexpr int kStatusDownloading = 2;
inline constexpr int kStatusInstalling = 4;
inline constexpr int kStatusDone = 5;

// "setup error status:<status> message:<text>".
void report_setup_error(int modules, int status, const std::string& text);
// The end of the download stage: success, or failure and cancel alike.
void report_download_end(int modules, bool success, int64_t kilobytes, int seconds);
void report_user_cancel(int modules, int status);
// The application start after a finished run, with its result code.
void report_app_started(int result);

struct DownloadEstimate {
    int percent = 0;
    int64_t done_bytes = 0;
    int64_t total_bytes = 0;
    int remaining_seconds = 0;
};

// From the engine's figures (total, bytes present before the run, bytes fetched in it) and
// the seconds since the download began. A total of 0 (no size known yet) gives 0 percent.
DownloadEstimate estimate_download(int64_t total, int64_t cache, int64_t now, double elapsed);

// Sum of the sizes of all files below folder; a file whose size can't be read counts -1.
int64_t folder_size(const std::filesystem::path& folder);

}  // namespace velora::st
