#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
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

// Whoever watches a run is handed each new RunState. Calls come from the thread that made
// the change (the stage's worker, a download thread, the install's progress reader or the
// caller of start()), one at a time and in the order the states were made.
class RunObserver {
public:
    virtual ~RunObserver() = default;
    virtual void run_state_changed(const RunState& state) = 0;
};

// Waits of a run. Production values by default; tests shorten them.
struct RunTimings {
    std::chrono::milliseconds download_emit{1000};  // least gap between download states
    std::chrono::milliseconds install_poll{200};    // the install's progress is read this often
    std::chrono::milliseconds install_creep{3000};  // one percent while nothing else is known
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
                  RunObserver& observer, RunTimings timings = {});
    // Waits for a running stage.
    ~RunController();
    RunController(const RunController&) = delete;
    RunController& operator=(const RunController&) = delete;

    // Starts a stage (kChecking, kDownloading or kInstalling) on the worker thread; its end
    // reaches the observer as a state with stage_ended. The status changes before start
    // returns.
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
    // Changes the run's state and hands the new one to the observer.
    void publish(const std::function<void(RunState&)>& change);
    void publish_stage_end(RunStatus stage, int code, const std::string& message);
    void publish_download(int64_t total, int64_t cache, int64_t now);
    // Reads the install's progress until `installing` is false.
    void follow_install(const bool& installing);
    // The install's share done from what the engine tells; false when it has no figure.
    bool install_figures(int64_t& done, int64_t& total) const;

    const LaunchOptions options_;
    std::unique_ptr<InstallEngine> engine_;
    RunObserver& observer_;
    const RunTimings timings_;
    std::thread worker_;

    // The published state, and what it is made from; under state_lock_.
    std::mutex state_lock_;
    std::condition_variable install_wake_;
    RunState state_;
    DownloadRate rate_;
    int64_t last_download_emit_ns_ = 0;
    int64_t download_calls_ = 0;

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
