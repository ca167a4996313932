#include "app/run_controller.h"

#include <algorithm>
#include <chrono>

#include "base/logger.h"
#include "setup/setup_result.h"

namespace velora::st {

RunController::RunController(LaunchOptions options, std::unique_ptr<InstallEngine> engine,
                             RunObserver& observer)
    : options_(std::move(options)),
      engine_(std::move(engine)),
      observer_(observer),
      modules_(options_.modules) {}

RunController::~RunController() {
    if (worker_.joinable()) worker_.join();
}

void RunController::set_status(RunStatus status) {
    status_ = status;
    observer_.status_changed(status);
}

void RunController::start(RunStatus stage) {
    if (worker_.joinable()) worker_.join();
    {
        std::lock_guard lock(stage_lock_);
        // A stage started after a cancel ends at once, as cancelled.
        if (!cancelled_) set_status(stage);
    }
    worker_ = std::thread([this, stage] {
        std::string message;
        const int code = run_stage(stage, message);
        observer_.stage_finished(stage, code, message);
    });
}

int RunController::run(RunStatus stage, std::string& message) {
    {
        std::lock_guard lock(stage_lock_);
        if (!cancelled_) set_status(stage);
    }
    return run_stage(stage, message);
}

int RunController::run_stage(RunStatus stage, std::string& message) {
    if (cancelled_) return kSetupDownloadCancelled;
    switch (stage) {
        case RunStatus::kChecking:
            return check(message);
        case RunStatus::kDownloading:
            return download(message);
        case RunStatus::kInstalling:
            return install(message);
        default:
            return kSetupUninitialized;
    }
}

int RunController::check(std::string& message) {
    const int code = engine_->initialize(options_, message);
    modules_ = engine_->modules();
    if (code != kSetupOk && !cancelled_)
        report_setup_error(modules_, RunStatus::kChecking,
                           "code:" + std::to_string(code) + " " + message);
    return code;
}

int RunController::download(std::string& message) {
    using Clock = std::chrono::steady_clock;
    const auto began = Clock::now();
    fetched_bytes_ = 0;
    const int code = engine_->download_files(
        [this](int64_t total, int64_t cache, int64_t now) {
            total_bytes_ = total;
            cache_bytes_ = cache;
            fetched_bytes_ = now;
            observer_.download_progress(total, cache, now);
        },
        message);
    if (code != kSetupOk)
        log_tagged(kLogError, "download failed. code: %d err_message: %s", code, message);
    // With everything already downloaded no progress came; the plan knows the size.
    if (total_bytes_ == 0) total_bytes_ = engine_->download_total();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - began);
    report_download_end(modules_, !cancelled_ && code == kSetupOk, fetched_bytes_ / 1024,
                        static_cast<int>(seconds.count()));
    return code;
}

int RunController::install(std::string& message) {
    const int code = engine_->install(message);
    if (code != kSetupOk) {
        report_setup_error(modules_, RunStatus::kInstalling,
                           "[" + std::to_string(code) + "]" + message);
        return code;
    }
    set_status(RunStatus::kDone);
    return code;
}

int RunController::run_to_end(std::string& failed) {
    std::string message;
    int code = run(RunStatus::kChecking, message);
    if (cancelled_) return kExitCancelled;
    if (code != kSetupOk) {
        failed = "code:" + std::to_string(code) + " " + message;
        return kExitFailed;
    }
    message.clear();
    code = run(RunStatus::kDownloading, message);
    if (cancelled_) return kExitCancelled;
    if (code != kSetupOk) {
        failed = "download failed code: " + std::to_string(code);
        // A download that is not what the vendor signed says why.
        if (code == kSetupUntrustedRelease && !message.empty()) failed += " " + message;
        return kExitFailed;
    }
    message.clear();
    code = run(RunStatus::kInstalling, message);
    // A cancel that came before the install began; once it has, none is taken.
    if (cancelled_) return kExitCancelled;
    if (code != kSetupOk) {
        failed = code == kSetupInUse && !message.empty()
                     ? "files are in use by:\n" + message
                     : "code: " + std::to_string(code) + " install error";
        return kExitFailed;
    }
    start_application();
    return kExitDone;
}

CancelOutcome RunController::cancel() {
    RunStatus now;
    {
        std::lock_guard lock(stage_lock_);
        now = status_;
        if (now >= RunStatus::kInstalling) return CancelOutcome::kTooLate;
        if (cancelled_.exchange(true)) return CancelOutcome::kAlreadyCancelled;
    }
    log_tagged(kLogWarning, "the run is cancelled while %d", status_number(now));
    engine_->cancel();
    report_user_cancel(modules_, now);
    return CancelOutcome::kCancelled;
}

CancelOutcome RunController::interrupt() {
    const CancelOutcome outcome = cancel();
    if (outcome == CancelOutcome::kTooLate)
        log_tagged(kLogWarning, "interrupt while installing: the install finishes first");
    return outcome;
}

DownloadFigures RunController::download_figures() const {
    return {total_bytes_, cache_bytes_, fetched_bytes_};
}

int64_t RunController::install_total() const {
    const int64_t expected = engine_->expected_install_size();
    return std::max<int64_t>(expected > 0 ? expected : total_bytes_.load(), 0);
}

void RunController::start_application() {
    if (options_.no_launch) {
        log_tagged(kLogInfo, "application start skipped (--no-launch)");
        return;
    }
    const std::filesystem::path& dir = options_.install_dir;
    report_app_started(dir.empty() ? kSetupNoInstallDir : engine_->start_application(dir));
}

}  // namespace velora::st
