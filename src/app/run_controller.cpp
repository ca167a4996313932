#include "app/run_controller.h"

#include <algorithm>
#include <chrono>

#include "app/failure_class.h"
#include "base/logger.h"
#include "setup/setup_result.h"

namespace velora::st {

namespace {

int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

RunController::RunController(LaunchOptions options, std::unique_ptr<InstallEngine> engine,
                             RunObserver& observer, RunTimings timings)
    : options_(std::move(options)),
      engine_(std::move(engine)),
      observer_(observer),
      timings_(timings),
      modules_(options_.modules) {}

RunController::~RunController() {
    if (worker_.joinable()) worker_.join();
}

void RunController::publish(const std::function<void(RunState&)>& change) {
    std::lock_guard lock(state_lock_);
    change(state_);
    observer_.run_state_changed(state_);
    // A stage's end is told once; the states after it are of the run again.
    state_.stage_ended = false;
    state_.code = 0;
    state_.message.clear();
    state_.failure.clear();
}

void RunController::set_status(RunStatus status) {
    status_ = status;
    publish([&](RunState& state) {
        state.status = status;
        state.percent = 0;
        state.done_bytes = state.total_bytes = 0;
        state.remaining_seconds = 0;
        state.remaining_known = false;
        switch (status) {
            case RunStatus::kDownloading:
                rate_.restart(static_cast<double>(steady_ns()) / 1e9);
                last_download_emit_ns_ = 0;
                break;
            case RunStatus::kInstalling:
                state.total_bytes = install_total();
                break;
            case RunStatus::kDone:
                state.percent = 100;
                state.done_bytes = state.total_bytes = install_total();
                state.remaining_known = true;
                break;
            default:
                break;
        }
    });
}

void RunController::publish_stage_end(RunStatus stage, int code, const std::string& message) {
    publish([&](RunState& state) {
        state.stage_ended = true;
        state.ended_stage = stage;
        state.code = code;
        state.message = message;
        if (code != kSetupOk) state.failure = failure_detail(stage, code, message);
    });
}

void RunController::publish_download(int64_t total, int64_t cache, int64_t now) {
    // Nothing fetched yet: no figure worth showing.
    if (now <= 0) return;
    const int64_t time = steady_ns();
    {
        std::lock_guard lock(state_lock_);
        if (++download_calls_ % 500 == 0)
            log_tagged(kLogInfo, "dltotal: %lld, dlcache: %lld dlnow: %lld",
                       static_cast<long long>(total), static_cast<long long>(cache),
                       static_cast<long long>(now));
        rate_.add(static_cast<double>(time) / 1e9, now);
        const int64_t gap =
            std::chrono::duration_cast<std::chrono::nanoseconds>(timings_.download_emit).count();
        if (last_download_emit_ns_ != 0 && time - last_download_emit_ns_ < gap) return;
        last_download_emit_ns_ = time;
    }
    publish([&](RunState& state) {
        if (state.status != RunStatus::kDownloading) return;
        const DownloadEstimate estimate =
            estimate_download(total, cache, now, rate_.bytes_per_second());
        state.percent = estimate.percent;
        state.done_bytes = estimate.done_bytes;
        state.total_bytes = estimate.total_bytes;
        // A stall leaves the rate unknown: the last time left stands until it is known again.
        if (estimate.remaining_known) {
            state.remaining_seconds = estimate.remaining_seconds;
            state.remaining_known = true;
        }
    });
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
        publish_stage_end(stage, code, message);
    });
}

int RunController::run(RunStatus stage, std::string& message) {
    {
        std::lock_guard lock(stage_lock_);
        if (!cancelled_) set_status(stage);
    }
    const int code = run_stage(stage, message);
    publish_stage_end(stage, code, message);
    return code;
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
                           failure_detail(RunStatus::kChecking, code, message));
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
            publish_download(total, cache, now);
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

bool RunController::install_figures(int64_t& done, int64_t& total) const {
    const InstallProgress placed = engine_->install_progress();
    if (placed.total > 0) {
        done = std::clamp<int64_t>(placed.placed, 0, placed.total);
        total = placed.total;
        return true;
    }
    // The full installer writes the files itself: the folder's size against its estimate,
    // once files land there.
    const int64_t expected = engine_->expected_install_size();
    if (engine_->stage() != kInstallWritingFiles || expected <= 0) return false;
    done = std::clamp<int64_t>(folder_size(options_.install_dir), 0, expected);
    total = expected;
    return true;
}

void RunController::follow_install(const bool& installing) {
    auto last_change = std::chrono::steady_clock::now();
    std::unique_lock lock(state_lock_);
    while (!install_wake_.wait_for(lock, timings_.install_poll, [&] { return !installing; })) {
        lock.unlock();
        int64_t done = 0;
        int64_t total = 0;
        const bool known = install_figures(done, total);
        const auto now = std::chrono::steady_clock::now();
        const bool creep = !known && now - last_change >= timings_.install_creep;
        lock.lock();
        const RunState before = state_;
        lock.unlock();
        // 100 only once the install has succeeded: the tree is still to be switched in.
        int percent = before.percent;
        if (known)
            percent = std::max(percent, static_cast<int>(std::min<int64_t>(done * 100 / total, 99)));
        else if (creep)
            percent = std::min(percent + 1, 99);
        // The creep counts from the last figure the engine gave.
        if (known || percent != before.percent) last_change = now;
        if (percent != before.percent || (known && done != before.done_bytes)) {
            publish([&](RunState& state) {
                state.percent = percent;
                if (known) {
                    state.done_bytes = done;
                    state.total_bytes = total;
                }
            });
        }
        lock.lock();
    }
}

int RunController::install(std::string& message) {
    bool installing = true;
    std::thread progress([&] { follow_install(installing); });
    const int code = engine_->install(message);
    {
        std::lock_guard lock(state_lock_);
        installing = false;
    }
    install_wake_.notify_all();
    progress.join();
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
        failed = failure_detail(RunStatus::kChecking, code, message);
        return kExitFailed;
    }
    message.clear();
    code = run(RunStatus::kDownloading, message);
    if (cancelled_) return kExitCancelled;
    if (code != kSetupOk) {
        failed = failure_detail(RunStatus::kDownloading, code, message);
        return kExitFailed;
    }
    message.clear();
    code = run(RunStatus::kInstalling, message);
    // A cancel that came before the install began; once it has, none is taken.
    if (cancelled_) return kExitCancelled;
    if (code != kSetupOk) {
        failed = failure_detail(RunStatus::kInstalling, code, message);
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
