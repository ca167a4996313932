// The install run: the engine's stages on worker threads, their progress and results.
#include <QTimer>
#include <algorithm>

#include "app/failure_class.h"
#include "app/run_status.h"
#include "base/logger.h"
#include "base/result_codes.h"
#include "ui/install_main_window.h"
#include "ui/message_box.h"

namespace velora::st {

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

void InstallMainWindow::run_state_changed(const RunState& state) {
    // Posted in the order the states were made; dropped when the window has gone.
    QMetaObject::invokeMethod(
        this, [this, state] { show_run_state(state); }, Qt::QueuedConnection);
}

void InstallMainWindow::show_run_state(const RunState& state) {
    // The status first: switching it sets the bar's look, which the figures then fill.
    show_status(state.status);
    switch (state.status) {
        case RunStatus::kDownloading:
            // Sizes and time left once the download's size is known.
            if (state.total_bytes > 0)
                show_progress(run_percent(false, state.percent), state.percent,
                              state.remaining_seconds, state.remaining_known, state.done_bytes,
                              state.total_bytes);
            break;
        case RunStatus::kInstalling:
            // The words say what the bar shows: the whole run's share.
            show_progress(run_percent(true, state.percent), run_percent(true, state.percent));
            break;
        default:
            break;
    }
    if (!state.stage_ended) return;
    const QString message = QString::fromStdString(state.message);
    switch (state.ended_stage) {
        case RunStatus::kChecking:
            onCheckDone(state.code, message);
            break;
        case RunStatus::kDownloading:
            onDownloadResult(state.code);
            break;
        default:
            onInstallResult(state.code, message);
            break;
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
    // "Complete" came with the run's last state; it stays a moment.
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
