// The install run: the engine's stages on worker threads, their progress and results.
#include <QDateTime>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <system_error>

#include "app/failure_class.h"
#include "app/run_status.h"
#include "base/logger.h"
#include "base/result_codes.h"
#include "ui/install_main_window.h"
#include "ui/message_box.h"

namespace velora::st {

namespace {

// Shared by every download of the run, as the engine may download more than once.
std::atomic<int64_t> progress_calls{0};
std::atomic<int64_t> last_emission_ns{0};

int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t wall_ms() { return QDateTime::currentMSecsSinceEpoch(); }

}  // namespace

int run_percent(bool installing, int stage_percent) {
    const int percent = std::clamp(stage_percent, 0, 100);
    return installing ? kBarShareOfDownload + percent * (100 - kBarShareOfDownload) / 100
                      : percent * kBarShareOfDownload / 100;
}

void InstallMainWindow::_start_check() {
    stage_running = true;
    run->start(RunStatus::kChecking);
}

void InstallMainWindow::_start_download() {
    stage_running = true;
    run->start(RunStatus::kDownloading);
}

void InstallMainWindow::_start_install() {
    log_tagged(kLogInfo, "InstallMainWindow::_start_install");
    stage_running = true;
    run->start(RunStatus::kInstalling);
    // Nothing can be cancelled any more: the question goes, the window shows the install.
    if (confirming_cancel && message_box) message_box->close();
}

void InstallMainWindow::status_changed(RunStatus status) {
    if (status == RunStatus::kDownloading)
        download_rate.restart(static_cast<double>(steady_ns()) / 1e9);
    requested_status = status;
}

void InstallMainWindow::stage_finished(RunStatus stage, int code, const std::string& message) {
    switch (stage) {
        case RunStatus::kChecking:
            emit sigCheckDone(code, QString::fromStdString(message));
            break;
        case RunStatus::kDownloading:
            emit sigDownloadResult(code);
            break;
        default:
            if (code == kSetupOk) emit sigProgress(100);
            emit sigInstallResult(code, QString::fromStdString(message));
            break;
    }
}

void InstallMainWindow::download_progress(int64_t total, int64_t cache, int64_t now) {
    const int64_t calls = ++progress_calls;
    if (calls % 500 == 0)
        log_tagged(kLogInfo, "dltotal: %lld, dlcache: %lld dlnow: %lld",
                   static_cast<long long>(total), static_cast<long long>(cache),
                   static_cast<long long>(now));

    const int64_t time = steady_ns();
    int64_t expected = 0;
    last_emission_ns.compare_exchange_strong(expected, time);
    const int64_t last = last_emission_ns;
    const int64_t gap =
        std::chrono::duration_cast<std::chrono::nanoseconds>(timings.download_emit).count();
    if (time - last < gap) return;

    if (now > 0) {
        download_rate.add(static_cast<double>(time) / 1e9, now);
        const DownloadEstimate estimate =
            estimate_download(total, cache, now, download_rate.bytes_per_second());
        if (estimate.remaining_known) shown_remaining = estimate.remaining_seconds;
        emit sigProgress(run_percent(false, estimate.percent), "", shown_remaining,
                         static_cast<size_t>(estimate.done_bytes),
                         static_cast<size_t>(estimate.total_bytes));
    }
    last_emission_ns = time;
}

// The engine counts the bytes it has placed; without that count (the full installer runs)
// the install folder's size against the expected size, and a slow creep, stand in.
void InstallMainWindow::_advance_install_progress() {
    const int64_t now = wall_ms();
    if (last_progress_ms == 0) {
        install_percent = 0;
        last_progress_ms = now;
        emit sigProgress(run_percent(true, 0));
        if (!install_poll_thread)
            install_poll_thread =
                std::make_unique<std::thread>(&InstallMainWindow::_install_size_poller, this);
        return;
    }
    const InstallProgress placed = run->install_progress();
    if (placed.total > 0) {
        // 100 only once the install has succeeded: the tree is still to be switched in.
        const int percent =
            static_cast<int>(std::min<int64_t>(placed.placed * 100 / placed.total, 99));
        if (percent > install_percent) {
            install_percent = percent;
            last_progress_ms = now;
            emit sigProgress(run_percent(true, percent));
        }
    } else if (now - last_progress_ms > timings.install_creep.count() && !dialog_shown) {
        install_percent = std::min(install_percent + 1, 99);
        last_progress_ms = now;
        emit sigProgress(run_percent(true, install_percent));
    }
}

void InstallMainWindow::_install_size_poller() {
    while (!stop_polling && current_status == RunStatus::kInstalling) {
        if (run->install_writing() && run->install_progress().total == 0) {
            const int64_t measured = folder_size(options.install_dir);
            const int64_t engine_expected = run->expected_install_size();
            if (engine_expected > expected_install_size) expected_install_size = engine_expected;
            const int64_t expected = expected_install_size;
            // Nothing to compare with while the expected size is unknown.
            if (expected > 0) {
                const int percent = static_cast<int>(
                    std::min(static_cast<double>(measured) / expected * 100, 99.0));
                if (percent > install_percent) {
                    install_percent = percent;
                    const int64_t now = wall_ms();
                    if (now - last_progress_ms > timings.poll_emit.count()) {
                        last_progress_ms = now;
                        emit sigProgress(run_percent(true, install_percent));
                    }
                }
            }
        }
        std::this_thread::sleep_for(timings.poll_sleep);
    }
}

void InstallMainWindow::onCheckDone(int result, QString error) {
    stage_running = false;
    if (cancelled()) {
        done(kExitCancelled);
        return;
    }
    if (result == 0) {
        _start_download();
        return;
    }
    log_tagged(kLogWarning, "check failed: %s",
               failure_detail(RunStatus::kChecking, result, error.toStdString()));
    _show_install_failed(RunStatus::kChecking, result);
}

void InstallMainWindow::onDownloadResult(int result) {
    log_tagged(kLogInfo, "onDownloadResult %d", result);
    stage_running = false;
    // Cancelled: nothing is installed, even when the last bytes arrived meanwhile.
    if (cancelled()) {
        done(kExitCancelled);
    } else if (result == 0) {
        _start_install();
    } else {
        _show_install_failed(RunStatus::kDownloading, result);
    }
}

void InstallMainWindow::onInstallResult(int code, QString msg) {
    stage_running = false;
    // Interrupted: nobody is there to answer a dialog.
    if (code != 0 && interrupted) {
        done(kExitFailed);
    } else if (code == kSetupInUse) {
        _retry_install_in_use(msg);
    } else if (code != 0) {
        _show_install_failed(RunStatus::kInstalling, code);
    } else {
        finish_run();
    }
}

void InstallMainWindow::finish_run() {
    // Shown at once, not at the next tick.
    onCheckTimeout();
    QTimer::singleShot(timings.complete_pause, this, [this] {
        if (finished) return;
        run->start_application();
        done(kExitDone);
    });
}

int64_t InstallMainWindow::bytes_still_needed(RunStatus stage) const {
    if (stage == RunStatus::kInstalling) return run->install_total();
    if (stage != RunStatus::kDownloading) return 0;
    const DownloadFigures bytes = run->download_figures();
    return std::max<int64_t>(bytes.total - bytes.cache - bytes.now, 0);
}

void InstallMainWindow::retry_after_failure() {
    if (finished || cancelled()) return;
    if (run->status() < RunStatus::kDownloading)
        _start_check();
    else
        _start_download();
}

}  // namespace velora::st
