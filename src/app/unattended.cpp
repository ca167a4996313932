#include "app/unattended.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "app/run_controller.h"
#include "base/logger.h"
#include "base/result_codes.h"
#include "sys/interrupt.h"

namespace velora::st {

namespace {

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

}  // namespace

std::string console_line(const RunState& state) {
    char line[160];
    std::snprintf(line, sizeof line, "%s %d%% %lld/%lld bytes, %s remaining",
                  status_name(state.status), state.percent,
                  static_cast<long long>(state.done_bytes),
                  static_cast<long long>(state.total_bytes),
                  clock_text(state.remaining_seconds, state.remaining_known).c_str());
    return line;
}

namespace {

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

    void run_state_changed(const RunState& state) override {
        std::lock_guard lock(print_lock);
        const bool new_status = state.status != shown.status;
        shown = state;
        if (new_status) print_locked();
    }

private:
    // Every console line goes out whole, under one lock for both streams, so that lines
    // from the stages, the printer and the interrupt never run into each other.
    void write_line(std::FILE* stream, const std::string& line) {
        std::lock_guard lock(print_lock);
        write_locked(stream, line);
    }
    static void write_locked(std::FILE* stream, const std::string& line) {
        std::fputs((line + "\n").c_str(), stream);
        std::fflush(stream);
    }
    void print_locked() { write_locked(settings.out, console_line(shown)); }

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
        while (!wake.wait_for(lock, settings.progress_interval, [this] { return stopping; }))
            print_locked();
    }

    const UnattendedSettings settings;
    std::mutex print_lock;
    RunState shown;  // the run's latest state
    std::condition_variable wake;
    bool stopping = false;
    // Last: it joins its worker before the fields the observer calls use go.
    RunController controller;
};

}  // namespace

int run_unattended(const LaunchOptions& options, const UnattendedSettings& settings,
                   std::unique_ptr<InstallEngine> engine) {
    log_tagged(kLogInfo, "unattended run, modules: %d", options.modules);
    const int code = UnattendedRun(options, settings, std::move(engine)).run();
    log_tagged(kLogInfo, "unattended run ended: %d", code);
    return code;
}

}  // namespace velora::st
