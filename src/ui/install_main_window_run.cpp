// The install run: the engine's stages on worker threads, their progress and results.
#include <QDateTime>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <system_error>

#include "app/run_status.h"
#include "base/logger.h"
#include "base/result_codes.h"
#include "layout/paths.h"
#include "report/report_client.h"
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

void InstallMainWindow::_start_check() {
    if (check_thread.joinable()) check_thread.join();
    stage_running = true;
    check_thread = std::thread(&InstallMainWindow::_check_worker, this);
}

void InstallMainWindow::_check_worker() {
    requested_status = 1;
    std::string error;
    int code = setup_center->initialize(options, error);
    if (code != 0 && !cancelled) {
        const QByteArray text = QString::asprintf("code:%d %s", code, error.c_str()).toUtf8();
        _report_setup_error(text.constData());
    }
    emit sigCheckDone(code, QString::fromStdString(error));
}

void InstallMainWindow::_start_download() {
    if (download_thread.joinable()) download_thread.join();
    stage_running = true;
    download_thread = std::thread(&InstallMainWindow::_download_worker, this);
}

void InstallMainWindow::_download_worker() {
    const int64_t start = steady_ns();
    download_start_ns = start;
    download_now_bytes = 0;
    download_rate.restart(static_cast<double>(start) / 1e9);
    std::string error;
    int code = setup_center->download_files(
        [this](int64_t total, int64_t cache, int64_t now) {
            on_download_progress(total, cache, now);
        },
        error);
    if (code != 0) log_tagged(kLogError, "download failed. code: %d err_message: %s", code, error);
    const int seconds = static_cast<int>(static_cast<double>(steady_ns() - start) / 1e9);
    const long long kilobytes = download_now_bytes / 1024;
    const int modules = setup_center->modules();
    report_download_end(modules, !cancelled && code == 0, kilobytes, seconds);
    emit sigDownloadResult(code);
}

void InstallMainWindow::on_download_progress(int64_t total, int64_t cache, int64_t now) {
    if (current_status != 2) requested_status = 2;
    download_now_bytes = now;

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
        emit sigProgress(estimate.percent, "", shown_remaining,
                         static_cast<size_t>(estimate.done_bytes),
                         static_cast<size_t>(estimate.total_bytes));
    }
    last_emission_ns = time;
}

void InstallMainWindow::_start_install() {
    log_tagged(kLogInfo, "InstallMainWindow::_start_install");
    if (install_thread.joinable()) install_thread.join();
    stage_running = true;
    install_thread = std::thread(&InstallMainWindow::_install_worker, this);
    requested_status = 4;
    // Nothing can be cancelled any more: the question goes, the window shows the install.
    if (confirming_cancel && message_box) message_box->close();
}

void InstallMainWindow::_install_worker() {
    std::string error;
    int code = setup_center->install(error);
    if (code != 0) {
        const QByteArray text = QString::asprintf("[%d]%s", code, error.c_str()).toUtf8();
        _report_setup_error(text.constData());
    } else {
        emit sigProgress(100);
        requested_status = 5;
    }
    emit sigInstallResult(code, QString::fromStdString(error));
}

void InstallMainWindow::_advance_install_progress() {
    const int64_t now = wall_ms();
    if (last_progress_ms == 0) {
        install_percent = 0;
        last_progress_ms = now;
        emit sigProgress(0);
        if (!install_poll_thread)
            install_poll_thread =
                std::make_unique<std::thread>(&InstallMainWindow::_install_size_poller, this);
    } else if (now - last_progress_ms > timings.install_creep.count() && !dialog_shown) {
        ++install_percent;
        last_progress_ms = now;
        emit sigProgress(install_percent);
    }
}

void InstallMainWindow::_install_size_poller() {
    while (!stop_polling && current_status == 4) {
        if (setup_center->stage() == 2) {
            const int64_t measured = folder_size(options.install_dir);
            const int64_t engine_expected = setup_center->expected_install_size();
            if (engine_expected > expected_install_size) expected_install_size = engine_expected;
            const int64_t expected = expected_install_size;
            // Nothing to compare with while the expected size is unknown.
            if (expected > 0) {
                const int percent =
                    static_cast<int>(static_cast<double>(measured) / expected * 100);
                if (percent > install_percent) {
                    install_percent = percent;
                    const int64_t now = wall_ms();
                    if (now - last_progress_ms > timings.poll_emit.count()) {
                        last_progress_ms = now;
                        emit sigProgress(install_percent);
                    }
                }
            }
        }
        std::this_thread::sleep_for(timings.poll_sleep);
    }
}

void InstallMainWindow::_report_setup_error(const char* text) {
    if (text) report_setup_error(setup_center->modules(), current_status, text);
}

void InstallMainWindow::_report_user_cancel() {
    report_user_cancel(setup_center->modules(), current_status);
}

void InstallMainWindow::onCheckDone(int result, QString error) {
    stage_running = false;
    if (cancelled) {
        done(1);
        return;
    }
    if (result == 0) {
        _start_download();
        return;
    }
    const QByteArray message =
        QString::asprintf("code:%d %s", result, error.toUtf8().constData()).toUtf8();
    _show_install_failed(message.constData(), true);
}

void InstallMainWindow::onDownloadResult(int result) {
    log_tagged(kLogInfo, "onDownloadResult %d", result);
    stage_running = false;
    // Cancelled: nothing is installed, even when the last bytes arrived meanwhile.
    if (cancelled) {
        done(1);
    } else if (result == 0) {
        _start_install();
    } else {
        const QByteArray message = QString::asprintf("download failed code: %d", result).toUtf8();
        _show_install_failed(message.constData(), true);
    }
}

void InstallMainWindow::onInstallResult(int code, QString msg) {
    stage_running = false;
    if (code == kSetupInUse) {
        _retry_install_in_use(msg);
    } else if (code != 0) {
        const QByteArray message = QString::asprintf("code: %d install error", code).toUtf8();
        _show_install_failed(message.constData(), false);
    } else {
        const std::filesystem::path app_dir = install_directory();
        const int launched =
            app_dir.empty() ? kSetupNoInstallDir : setup_center->start_application(app_dir);
        report_app_started(launched);
        done(0);
    }
}

void InstallMainWindow::retry_after_failure() {
    if (finished || cancelled) return;
    if (current_status < 2)
        _start_check();
    else
        _start_download();
}

}  // namespace velora::st
