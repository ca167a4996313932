#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/install_engine.h"
#include "app/run_status.h"
#include "base/result_codes.h"
#include "layout/launch_options.h"
#include "setup/setup_center.h"

// One install run, whoever watches it: the window and the unattended console drive their
// runs through this controller and observe it.
namespace velora::st {

// What a run's observer is told. Calls come from the thread that made the change: the
// stage's worker, a download thread, or the caller of start() and cancel().
class RunObserver {
public:
    virtual ~RunObserver() = default;
    virtual void status_changed(RunStatus status) = 0;
    // Bytes of the download: all of it, those present before the run, those fetched in it.
    virtual void download_progress(int64_t total, int64_t cache, int64_t now) = 0;
    // A stage (kChecking, kDownloading or kInstalling) ended with the engine's code (0 or
    // a result code) and message.
    virtual void stage_finished(RunStatus stage, int code, const std::string& message) = 0;
};

struct DownloadFigures {
    int64_t total = 0;
    int64_t cache = 0;
    int64_t now = 0;
};

enum class CancelOutcome {
    kCancelled,         // the run stops; reported
    kAlreadyCancelled,  // an earlier cancel stands
    kTooLate,           // files are being installed: the run finishes first
};

// Runs the engine's stages, one at a time, on one worker thread (or on the caller's), sends
// each stage's event reports and keeps the run's one state.
class RunController {
public:
    RunController(LaunchOptions options, std::unique_ptr<InstallEngine> engine,
                  RunObserver& observer);
    // Waits for a running stage.
    ~RunController();
    RunController(const RunController&) = delete;
    RunController& operator=(const RunController&) = delete;

    // Starts a stage (kChecking, kDownloading or kInstalling) on the worker thread; its end
    // reaches the observer's stage_finished. The status changes before start returns.
    void start(RunStatus stage);
    // Runs a stage on this thread and returns its code.
    int run(RunStatus stage, std::string& message);
    // Checks, downloads, installs and starts the application on this thread; the exit code.
    // `failed` gets the reason of a failure.
    int run_to_end(std::string& failed);

    // Cancels the run unless its install has begun; only the first cancel is reported.
    CancelOutcome cancel();
    // A request to stop from outside the run (SIGTERM, SIGINT, SIGHUP, the session's end):
    // a cancel nobody is asked about; an install that has begun finishes first.
    CancelOutcome interrupt();
    bool cancelled() const { return cancelled_; }

    RunStatus status() const { return status_; }
    // The run's module flags; greater than 0 selects the module-mode event codes.
    int modules() const { return modules_; }
    DownloadFigures download_figures() const;
    // The bytes the install writes: the full installer's estimate, else the download's.
    int64_t install_total() const;
    // The full installer's estimate of what it writes; 0 in module mode.
    int64_t expected_install_size() const { return engine_->expected_install_size(); }
    InstallProgress install_progress() const { return engine_->install_progress(); }
    // Files land in the install folder (or the full installer runs) now.
    bool install_writing() const { return engine_->stage() == kInstallWritingFiles; }
    const LaunchOptions& options() const { return options_; }

    // After a finished run: starts the installed application (unless options.no_launch)
    // and reports the start with its result code.
    void start_application();

private:
    int run_stage(RunStatus stage, std::string& message);
    int check(std::string& message);
    int download(std::string& message);
    int install(std::string& message);
    void set_status(RunStatus status);

    const LaunchOptions options_;
    std::unique_ptr<InstallEngine> engine_;
    RunObserver& observer_;
    std::thread worker_;

    std::atomic<RunStatus> status_{RunStatus::kStarting};
    std::atomic<bool> cancelled_{false};
    std::atomic<int> modules_;
    std::atomic<int64_t> total_bytes_{0};
    std::atomic<int64_t> cache_bytes_{0};
    std::atomic<int64_t> fetched_bytes_{0};
    // A cancel and the start of the install exclude each other.
    std::mutex stage_lock_;
};

}  // namespace velora::st
