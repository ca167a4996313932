#include "app/unattended.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "app/run_controller.h"
#include "app/setup_center_engine.h"
#include "base/logger.h"
#include "base/result_codes.h"
#include "sys/interrupt.h"

namespace velora::st {

namespace {

// Nanosecond ticks, which the elapsed-time arithmetic assumes.
using Clock = std::chrono::steady_clock;
static_assert(std::is_same_v<Clock::period, std::nano>);

// "m:ss", "h:mm:ss" from an hour on, "--:--" when nothing is known yet.
std::string clock_text(int seconds, bool known) {
    if (!known) return "--:--";
    char text[32];
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%d:%02d:%02d", seconds / 3600, seconds / 60 % 60,
                      seconds % 60);
    else
        std::snprintf(text, sizeof text, "%d:%02d", seconds / 60, seconds % 60);
    return text;
}

const char* status_name(RunStatus status) {
    switch (status) {
        case RunStatus::kStarting:
        case RunStatus::kChecking:
            return "checking";
        case RunStatus::kDownloading:
            return "downloading";
        case RunStatus::kInstalling:
            return "installing";
        case RunStatus::kDone:
            break;
    }
    return "done";
}

// The console's view of the run: a line at every status change and once per interval.
class UnattendedRun final : public RunObserver {
public:
    UnattendedRun(const LaunchOptions& options, const UnattendedSettings& settings,
                  std::unique_ptr<InstallEngine> engine)
        : settings(settings), controller(options, std::move(engine), *this) {}

    int run() {
        sys::InterruptWatch watch([this] { interrupt(); });
        std::thread printer(&UnattendedRun::print_every_interval, this);
        std::string failed;
        const int code = controller.run_to_end(failed);
        if (code == kExitFailed) write_line(settings.err, "failed: " + failed);
        {
            std::lock_guard lock(print_lock);
            stopping = true;
        }
        wake.notify_all();
        printer.join();
        return code;
    }

    void status_changed(RunStatus status) override {
        if (status == RunStatus::kDownloading) {
            download_start_ns = Clock::now().time_since_epoch().count();
            rate.restart(0);
        }
        print_line();
    }
    void download_progress(int64_t, int64_t, int64_t) override {}
    void stage_finished(RunStatus, int, const std::string&) override {}

private:
    // Every console line goes out whole, under one lock for both streams, so that lines
    // from the stages, the printer and the interrupt never run into each other.
    void write_line(std::FILE* stream, const std::string& line) {
        std::lock_guard lock(print_lock);
        std::fputs((line + "\n").c_str(), stream);
        std::fflush(stream);
    }

    void interrupt() {
        switch (controller.interrupt()) {
            case CancelOutcome::kCancelled:
                write_line(settings.out, "cancelled");
                break;
            case CancelOutcome::kTooLate:
                write_line(settings.out, "interrupt: the install finishes first");
                break;
            case CancelOutcome::kAlreadyCancelled:
                break;
        }
    }

    void print_every_interval() {
        std::unique_lock lock(print_lock);
        while (!wake.wait_for(lock, settings.progress_interval, [this] { return stopping; })) {
            lock.unlock();
            print_line();
            lock.lock();
        }
    }

    // One line: status, percent, bytes done / total, remaining time.
    void print_line() {
        const RunStatus now = controller.status();
        int percent = 0;
        int64_t done = 0;
        int64_t total = 0;
        int remaining = 0;
        bool remaining_known = false;
        if (now == RunStatus::kDownloading) {
            const double elapsed =
                static_cast<double>(Clock::now().time_since_epoch().count() - download_start_ns) /
                1e9;
            const DownloadFigures bytes = controller.download_figures();
            rate.add(elapsed, bytes.now);
            const DownloadEstimate estimate =
                estimate_download(bytes.total, bytes.cache, bytes.now, rate.bytes_per_second());
            percent = estimate.percent;
            done = estimate.done_bytes;
            total = estimate.total_bytes;
            remaining = estimate.remaining_seconds;
            remaining_known = estimate.remaining_known;
        } else if (now == RunStatus::kInstalling) {
            total = controller.install_total();
            // Files only land once the old ones are out of the way.
            if (controller.install_writing() && total > 0) {
                done = std::clamp<int64_t>(folder_size(controller.options().install_dir), 0, total);
                percent = static_cast<int>(std::min<int64_t>(done * 100 / total, 99));
            }
        } else if (now == RunStatus::kDone) {
            percent = 100;
            total = done = controller.install_total();
            remaining_known = true;
        }
        char line[160];
        std::snprintf(line, sizeof line, "%s %d%% %lld/%lld bytes, %s remaining", status_name(now),
                      percent, static_cast<long long>(done), static_cast<long long>(total),
                      clock_text(remaining, remaining_known).c_str());
        write_line(settings.out, line);
    }

    const UnattendedSettings settings;
    std::atomic<int64_t> download_start_ns{0};  // steady clock, in nanoseconds
    DownloadRate rate;                          // seconds since download_start_ns
    std::mutex print_lock;
    std::condition_variable wake;
    bool stopping = false;
    // Last: it joins its worker before the fields the observer calls use go.
    RunController controller;
};

}  // namespace

int run_unattended(const LaunchOptions& options, const UnattendedSettings& settings) {
    return run_unattended(options, settings, std::make_unique<SetupCenterEngine>());
}

int run_unattended(const LaunchOptions& options, const UnattendedSettings& settings,
                   std::unique_ptr<InstallEngine> engine) {
    log_tagged(kLogInfo, "unattended run, modules: %d", options.modules);
    const int code = UnattendedRun(options, settings, std::move(engine)).run();
    log_tagged(kLogInfo, "unattended run ended: %d", code);
    return code;
}

}  // namespace velora::st
