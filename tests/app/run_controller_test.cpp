#include "app/run_controller.h"

#include <gtest/gtest.h>

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
    void status_changed(RunStatus status) override {
        std::lock_guard hold(lock);
        statuses.push_back(status);
    }
    void download_progress(int64_t, int64_t, int64_t now) override {
        std::lock_guard hold(lock);
        fetched.push_back(now);
    }
    void stage_finished(RunStatus stage, int code, const std::string& message) override {
        std::lock_guard hold(lock);
        finished.push_back({stage, code, message});
        changed.notify_all();
    }

    struct Finished {
        RunStatus stage;
        int code;
        std::string message;
    };
    Finished wait_for_stage() {
        std::unique_lock hold(lock);
        changed.wait(hold, [this] { return !finished.empty(); });
        Finished last = finished.back();
        finished.clear();
        return last;
    }

    std::mutex lock;
    std::condition_variable changed;
    std::vector<RunStatus> statuses;
    std::vector<int64_t> fetched;
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
    EXPECT_EQ(recorder.fetched, std::vector<int64_t>{200});
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
    const auto result = recorder.wait_for_stage();
    EXPECT_EQ(result.stage, RunStatus::kDownloading);
    EXPECT_EQ(result.code, kSetupDownloadCancelled);

    // The window may still ask for the next stage; nothing is installed.
    run.start(RunStatus::kInstalling);
    EXPECT_EQ(recorder.wait_for_stage().code, kSetupDownloadCancelled);
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
    EXPECT_EQ(recorder.wait_for_stage().code, 0);
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
