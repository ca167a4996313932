#include "app/unattended.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "app/exit_code.h"
#include "app/run_status.h"
#include "base/logger.h"
#include "base/result_codes.h"
#include "layout/paths.h"
#include "report/report_client.h"
#include "setup/desktop_integration.h"
#include "setup/setup_center.h"
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

const char* status_name(int status) {
    switch (status) {
        case kStatusChecking:
            return "checking";
        case kStatusDownloading:
            return "downloading";
        case kStatusInstalling:
            return "installing";
        default:
            return "done";
    }
}

class UnattendedRun {
public:
    UnattendedRun(const LaunchOptions& options, const UnattendedSettings& settings)
        : options(options), settings(settings), modules(options.modules) {}

    int run() {
        sys::InterruptWatch watch([this] { interrupt(); });
        std::thread printer(&UnattendedRun::print_every_interval, this);
        const int code = stages();
        {
            std::lock_guard lock(print_lock);
            stopping = true;
        }
        wake.notify_all();
        printer.join();
        return code;
    }

private:
    int stages() {
        print_line();
        std::string message;
        center.set_event_sink(&setup_reports());
        int code = center.initialize(options, message);
        modules = center.modules;
        if (cancelled) return kExitCancelled;
        if (code != kSetupOk) {
            const std::string text = "code:" + std::to_string(code) + " " + message;
            report_setup_error(modules, kStatusChecking, text);
            return failed(text);
        }

        set_status(kStatusDownloading);
        message.clear();
        download_start_ns = Clock::now().time_since_epoch().count();
        rate.restart(0);
        code = center.download_files(
            [this](int64_t total, int64_t cache, int64_t now) {
                total_bytes = total;
                cache_bytes = cache;
                fetched_bytes = now;
            },
            message);
        if (code != kSetupOk)
            log_tagged(kLogError, "download failed. code: %d err_message: %s", code, message);
        // With everything already downloaded no progress came; the plan knows the size.
        if (total_bytes == 0) total_bytes = center.total_bytes;
        const auto took_ns = Clock::now().time_since_epoch().count() - download_start_ns;
        report_download_end(modules, !cancelled && code == kSetupOk, fetched_bytes / 1024,
                            static_cast<int>(took_ns / 1000000000));
        if (cancelled) return kExitCancelled;
        if (code != kSetupOk) return failed("download failed code: " + std::to_string(code));

        // From here on an interrupt no longer cancels: a half-done install is worse.
        {
            std::lock_guard lock(stage_lock);
            if (cancelled) return kExitCancelled;
            status = kStatusInstalling;
        }
        print_line();
        message.clear();
        code = center.install(message);
        if (code != kSetupOk) {
            report_setup_error(modules, kStatusInstalling,
                               "[" + std::to_string(code) + "]" + message);
            if (code == kSetupInUse && !message.empty())
                return failed("files are in use by:\n" + message);
            return failed("code: " + std::to_string(code) + " install error");
        }

        set_status(kStatusDone);
        if (options.no_launch) {
            log_tagged(kLogInfo, "application start skipped (--no-launch)");
        } else {
            const std::filesystem::path app_dir = install_directory();
            report_app_started(app_dir.empty() ? kSetupNoInstallDir : start_castmill(app_dir));
        }
        return kExitDone;
    }

    int failed(const std::string& message) {
        write_line(settings.err, "failed: " + message);
        return kExitFailed;
    }

    // Every console line goes out whole, under one lock for both streams, so that lines
    // from the stages, the printer and the interrupt never run into each other.
    void write_line(std::FILE* stream, const std::string& line) {
        std::lock_guard lock(print_lock);
        std::fputs((line + "\n").c_str(), stream);
        std::fflush(stream);
    }

    void interrupt() {
        int now = 0;
        bool first = false;
        {
            std::lock_guard lock(stage_lock);
            now = status;
            if (now < kStatusInstalling) first = !cancelled.exchange(true);
        }
        if (now >= kStatusInstalling) {
            log_tagged(kLogWarning, "interrupt while installing: the install finishes first");
            write_line(settings.out, "interrupt: the install finishes first");
            return;
        }
        if (!first) return;
        log_tagged(kLogWarning, "interrupted, cancelling the run");
        center.cancel();
        report_user_cancel(modules, now);
        write_line(settings.out, "cancelled");
    }

    void set_status(int next) {
        status = next;
        print_line();
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
        const int now = status;
        int percent = 0;
        int64_t done = 0;
        int64_t total = 0;
        int remaining = 0;
        bool remaining_known = false;
        if (now == kStatusDownloading) {
            const double elapsed =
                static_cast<double>(Clock::now().time_since_epoch().count() - download_start_ns) /
                1e9;
            rate.add(elapsed, fetched_bytes);
            const DownloadEstimate estimate =
                estimate_download(total_bytes, cache_bytes, fetched_bytes, rate.bytes_per_second());
            percent = estimate.percent;
            done = estimate.done_bytes;
            total = estimate.total_bytes;
            remaining = estimate.remaining_seconds;
            remaining_known = estimate.remaining_known;
        } else if (now == kStatusInstalling) {
            total = install_total();
            // Files only land once the old ones are out of the way.
            if (center.stage == 2 && total > 0) {
                done = std::clamp<int64_t>(folder_size(options.install_dir), 0, total);
                percent = static_cast<int>(std::min<int64_t>(done * 100 / total, 99));
            }
        } else if (now == kStatusDone) {
            percent = 100;
            total = done = install_total();
            remaining_known = true;
        }
        char line[160];
        std::snprintf(line, sizeof line, "%s %d%% %lld/%lld bytes, %s remaining", status_name(now),
                      percent, static_cast<long long>(done), static_cast<long long>(total),
                      clock_text(remaining, remaining_known).c_str());
        write_line(settings.out, line);
    }

    // What the install writes: the full installer's estimate, else the files of the download.
    int64_t install_total() const {
        const int64_t expected = center.expected_install_size();
        return std::max<int64_t>(expected > 0 ? expected : total_bytes.load(), 0);
    }

    const LaunchOptions& options;
    const UnattendedSettings settings;
    SetupCenter center;
    // Read by the interrupt and printer threads while a stage runs.
    std::atomic<int> modules;
    std::atomic<int> status{kStatusChecking};
    std::atomic<bool> cancelled{false};
    std::atomic<int64_t> total_bytes{0};
    std::atomic<int64_t> cache_bytes{0};
    std::atomic<int64_t> fetched_bytes{0};
    std::atomic<int64_t> download_start_ns{0};  // steady clock, in nanoseconds
    DownloadRate rate;                          // seconds since download_start_ns
    std::mutex stage_lock;  // an interrupt and the start of the install exclude each other

    std::mutex print_lock;
    std::condition_variable wake;
    bool stopping = false;
};

}  // namespace

int run_unattended(const LaunchOptions& options, const UnattendedSettings& settings) {
    log_tagged(kLogInfo, "unattended run, modules: %d", options.modules);
    const int code = UnattendedRun(options, settings).run();
    log_tagged(kLogInfo, "unattended run ended: %d", code);
    set_process_exit_code(code);
    return code;
}

}  // namespace velora::st
