#include "app/run_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/unattended.h"
#include "setup/setup_result.h"
#include "support/scripted_install_engine.h"
#include "support/test_env.h"

namespace velora::st {
namespace {

using castmill::test::Gate;
using castmill::test::ScriptedInstallEngine;

// Records what the run tells its observer, from whichever thread tells it.
class Recorder : public RunObserver {
public:
    void run_state_changed(const RunState& state) override {
        std::lock_guard hold(lock);
        states.push_back(state);
        if (statuses.empty() || statuses.back() != state.status) statuses.push_back(state.status);
        if (state.stage_ended) {
            finished.push_back({state.ended_stage, state.code, state.message});
            changed.notify_all();
        }
    }

    struct Finished {
        RunStatus stage;
        int code;
        std::string message;
    };
    // The end of `stage` once it comes; the ends told before it are passed over.
    Finished wait_for_end_of(RunStatus stage) {
        std::unique_lock hold(lock);
        const auto of_stage = [&] {
            return std::find_if(finished.begin(), finished.end(),
                                [&](const Finished& end) { return end.stage == stage; });
        };
        changed.wait(hold, [&] { return of_stage() != finished.end(); });
        const auto end = of_stage();
        Finished found = *end;
        finished.erase(finished.begin(), end + 1);
        return found;
    }

    std::mutex lock;
    std::condition_variable changed;
    std::vector<RunState> states;
    std::vector<RunStatus> statuses;
    std::vector<Finished> finished;
};

LaunchOptions options_for(const std::filesystem::path& dir) {
    LaunchOptions options;
    options.install_dir = dir;
    options.modules = 3;
    return options;
}

TEST(RunController, RunsTheStagesInOrderAndStartsTheInstalledApplication) {
    castmill::test::TempDir dir;
    auto engine = std::make_unique<ScriptedInstallEngine>();
    ScriptedInstallEngine& scripted = *engine;
    scripted.on_download = [](int, const DownloadProgress& progress, std::string&) {
        progress(300, 100, 200);
        return 0;
    };
    Recorder recorder;
    RunController run(options_for(dir.path()), std::move(engine), recorder);
    std::string failed;
    EXPECT_EQ(run.run_to_end(failed), kExitDone) << failed;

    EXPECT_EQ(recorder.statuses,
              (std::vector<RunStatus>{RunStatus::kChecking, RunStatus::kDownloading,
                                      RunStatus::kInstalling, RunStatus::kDone}));
    // The download's last state: what was there before and what came, all of it.
    const auto downloaded = std::find_if(recorder.states.rbegin(), recorder.states.rend(),
                                         [](const RunState& state) {
                                             return state.status == RunStatus::kDownloading;
                                         });
    ASSERT_NE(downloaded, recorder.states.rend());
    EXPECT_EQ(downloaded->percent, 100);
    EXPECT_EQ(downloaded->done_bytes, 300);
    EXPECT_EQ(downloaded->total_bytes, 300);
    EXPECT_EQ(recorder.states.back().percent, 100);
    EXPECT_EQ(recorder.states.back().done_bytes, 300);
    EXPECT_EQ(run.download_figures().total, 300);
    EXPECT_EQ(run.install_total(), 300);
    EXPECT_EQ(scripted.launch_calls.load(), 1);
    EXPECT_EQ(scripted.launched(), dir.path());
}

TEST(RunController, ADownloadWithoutProgressTakesItsSizeFromThePlan) {
    castmill::test::TempDir dir;
    auto engine = std::make_unique<ScriptedInstallEngine>();
    engine->planned_bytes = 4096;
    Recorder recorder;
    LaunchOptions options = options_for(dir.path());
    options.no_launch = true;
    RunController run(options, std::move(engine), recorder);
    std::string failed;
    EXPECT_EQ(run.run_to_end(failed), kExitDone);
    EXPECT_EQ(run.install_total(), 4096);
}

TEST(RunController, CancelStopsTheDownloadOnceAndNoStageRunsAfterIt) {
    castmill::test::TempDir dir;
    Gate downloading;
    auto engine = std::make_unique<ScriptedInstallEngine>();
    ScriptedInstallEngine& scripted = *engine;
    scripted.on_download = [&](int, const DownloadProgress&, std::string&) {
        downloading.wait();
        return scripted.cancel_calls > 0 ? static_cast<int>(kSetupDownloadCancelled) : 0;
    };
    Recorder recorder;
    RunController run(options_for(dir.path()), std::move(engine), recorder);
    std::string message;
    ASSERT_EQ(run.run(RunStatus::kChecking, message), 0);
    run.start(RunStatus::kDownloading);
    EXPECT_EQ(run.status(), RunStatus::kDownloading);
    while (!downloading.has_waiter()) std::this_thread::yield();

    EXPECT_EQ(run.cancel(), CancelOutcome::kCancelled);
    EXPECT_EQ(run.cancel(), CancelOutcome::kAlreadyCancelled);
    EXPECT_EQ(scripted.cancel_calls.load(), 1);
    downloading.open();
    EXPECT_EQ(recorder.wait_for_end_of(RunStatus::kDownloading).code, kSetupDownloadCancelled);

    // The window may still ask for the next stage; nothing is installed.
    run.start(RunStatus::kInstalling);
    EXPECT_EQ(recorder.wait_for_end_of(RunStatus::kInstalling).code, kSetupDownloadCancelled);
    EXPECT_EQ(scripted.install_calls.load(), 0);
    EXPECT_EQ(run.status(), RunStatus::kDownloading);
}

TEST(RunController, OnceTheInstallHasBegunACancelIsRefusedAndTheInstallFinishes) {
    castmill::test::TempDir dir;
    Gate installing;
    auto engine = std::make_unique<ScriptedInstallEngine>();
    ScriptedInstallEngine& scripted = *engine;
    scripted.on_install = [&](int, std::string&) {
        installing.wait();
        return 0;
    };
    Recorder recorder;
    RunController run(options_for(dir.path()), std::move(engine), recorder);
    std::string message;
    ASSERT_EQ(run.run(RunStatus::kChecking, message), 0);
    ASSERT_EQ(run.run(RunStatus::kDownloading, message), 0);
    run.start(RunStatus::kInstalling);
    // The status changed before start returned: no cancel can slip in before the install.
    EXPECT_EQ(run.cancel(), CancelOutcome::kTooLate);
    installing.open();
    EXPECT_EQ(recorder.wait_for_end_of(RunStatus::kInstalling).code, 0);
    EXPECT_EQ(run.status(), RunStatus::kDone);
    EXPECT_FALSE(run.cancelled());
    EXPECT_EQ(scripted.cancel_calls.load(), 0);
}

// The console's run of a scripted engine: a failure is said on the error stream with the
// engine's message, and the exit code says it failed.
TEST(UnattendedRun, AnInstallHeldByProgramsFailsWithTwoAndNamesThem) {
    castmill::test::TempDir dir;
    auto engine = std::make_unique<ScriptedInstallEngine>();
    engine->on_install = [](int, std::string& message) {
        message = "obs64.exe\n";
        return static_cast<int>(kSetupInUse);
    };
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ASSERT_TRUE(out && err);
    UnattendedSettings settings;
    settings.out = out;
    settings.err = err;
    EXPECT_EQ(run_unattended(options_for(dir.path()), settings, std::move(engine)), kExitFailed);

    auto text_of = [](std::FILE* file) {
        std::string text;
        std::rewind(file);
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, file)) text += buffer;
        std::fclose(file);
        return text;
    };
    const std::string printed = text_of(out);
    EXPECT_EQ(text_of(err), "failed: files are in use by:\nobs64.exe\n\n");
    for (const char* status : {"checking 0%", "downloading", "installing"})
        EXPECT_NE(printed.find(status), std::string::npos) << printed;
    EXPECT_EQ(printed.find("done"), std::string::npos) << printed;
}

}  // namespace
}  // namespace velora::st
