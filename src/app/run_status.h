#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>

// What the window and the unattended run share while they drive one install run: the
// statuses, the event reports of each stage and the progress figures.
namespace velora::st {

// Where a run stands; the numbers are those the event reports carry.
enum class RunStatus : int {
    kStarting = 0,
    kChecking = 1,
    kDownloading = 2,
    kInstalling = 4,
    kDone = 5,
};

inline int status_number(RunStatus status) { return static_cast<int>(status); }

// "setup error status:<status> message:<text>".
void report_setup_error(int modules, RunStatus status, const std::string& text);
// The end of the download stage: success, or failure and cancel alike.
void report_download_end(int modules, bool success, int64_t kilobytes, int seconds);
void report_user_cancel(int modules, RunStatus status);
// The application start after a finished run, with its result code.
void report_app_started(int result);

// The download rate as a moving average over the last few seconds, so that a slow start
// (connecting, the first requests) neither makes the first estimates near zero nor keeps
// them wrong once the transfer runs. Fed from several threads.
class DownloadRate {
public:
    static constexpr double kSpanSeconds = 5.0;

    // A download begins at `seconds` (any steady clock) with nothing fetched yet.
    void restart(double seconds);
    // The bytes fetched since the download began, at `seconds` on the same clock.
    void add(double seconds, int64_t fetched);
    // Bytes per second over the last kSpanSeconds; 0 while nothing is known.
    double bytes_per_second() const;

private:
    mutable std::mutex lock;
    std::deque<std::pair<double, int64_t>> samples;  // (seconds, fetched), oldest first
};

struct DownloadEstimate {
    int percent = 0;
    int64_t done_bytes = 0;
    int64_t total_bytes = 0;
    int remaining_seconds = 0;
    bool remaining_known = false;  // bytes have arrived at a known rate
};

// From the engine's figures (total, bytes present before the run, bytes fetched in it) and
// the current rate. A total of 0 (no size known yet) gives 0 percent.
DownloadEstimate estimate_download(int64_t total, int64_t cache, int64_t now,
                                   double bytes_per_second);

// Sum of the sizes of all files below folder; a file whose size can't be read counts -1.
int64_t folder_size(const std::filesystem::path& folder);

// A run at one moment, as its controller publishes it. The window and the console show
// these values as they are; neither works out a figure of its own.
struct RunState {
    RunStatus status = RunStatus::kStarting;
    int percent = 0;  // of the current stage: the download or the install
    int64_t done_bytes = 0;
    int64_t total_bytes = 0;  // 0 while the stage's size is not known
    int remaining_seconds = 0;
    bool remaining_known = false;
    // Set in the state published as a stage ends: which stage, its code (0 or a result
    // code), the engine's message and, for a failure, the detail the log and console give.
    bool stage_ended = false;
    RunStatus ended_stage = RunStatus::kStarting;
    int code = 0;
    std::string message;
    std::string failure;

    bool operator==(const RunState&) const = default;
};

}  // namespace velora::st
