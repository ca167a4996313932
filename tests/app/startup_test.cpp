#include "app/startup.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "base/result_codes.h"
#include "layout/paths.h"
#include "support/program_run.h"
#include "support/test_env.h"
#include "sys/named_mutex.h"

namespace velora::st {
namespace {

namespace fs = std::filesystem;
namespace test = castmill::test;
using sys::NamedMutex;

// Everything the runs of this process logged.
std::string logged() {
    std::string text;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(log_directory(), ec)) {
        text += test::read_file(entry.path());
    }
    return text;
}

// Steps that record what start-up asked for instead of showing a window.
struct Recorder {
    int windows = 0;
    std::vector<std::string> relaunches;
    bool admin_held = false;
    bool user_held = false;
    int window_result = 0;
    std::optional<int> elevated_exit;
    fs::path install_dir;  // the folder the guards cover

    StartupSteps steps(bool elevated) {
        StartupSteps steps;
        steps.elevated = elevated;
        steps.exit_pause = std::chrono::milliseconds(0);
        steps.run_window = [this](const LaunchOptions& options) {
            ++windows;
            admin_held = NamedMutex::exists(kAdminMutexName, options.install_dir);
            user_held = NamedMutex::exists(kNonAdminMutexName, options.install_dir);
            EXPECT_EQ(options.modules, 3);
            return window_result;
        };
        steps.relaunch_elevated = [this](const std::string& command_line) {
            relaunches.push_back(command_line);
            admin_held = NamedMutex::exists(kAdminMutexName, install_dir);
            user_held = NamedMutex::exists(kNonAdminMutexName, install_dir);
            return elevated_exit;
        };
        return steps;
    }
};

// Start-up changes process-wide state (logger, reporter, install directory), so each case
// runs in a fresh copy of this process.
void in_child(const std::function<void()>& body) { EXPECT_TRUE(test::run_in_child_process(body)); }

TEST(Startup, ElevatedRunHoldsTheAdminMutexAroundTheWindowAndReturnsItsExitCode) {
    in_child([] {
        test::TempDir dir;
        Recorder recorder;
        recorder.window_result = 1;
        const std::string line =
            "\"/suite/setup\";--install_dir=" + (dir / "x").string() + ";--modules=3";
        EXPECT_EQ(run_setup(line, recorder.steps(true)), 1);
        EXPECT_EQ(recorder.windows, 1);
        EXPECT_TRUE(recorder.admin_held);
        EXPECT_FALSE(recorder.user_held);
        EXPECT_TRUE(recorder.relaunches.empty());
        EXPECT_TRUE(fs::is_directory(dir / "x" / "Castmill"));
        EXPECT_FALSE(NamedMutex::exists(kAdminMutexName, dir / "x" / "Castmill"));

        const std::string log = logged();
        const auto start = log.find("start setup process v: 1.0.5");
        const auto app_exit = log.find("app_exit");
        const auto exit = log.find("call exit");
        EXPECT_NE(start, std::string::npos);
        EXPECT_NE(app_exit, std::string::npos);
        EXPECT_NE(exit, std::string::npos);
        EXPECT_LT(start, app_exit);
        EXPECT_LT(app_exit, exit);
    });
}

TEST(Startup, SecondInstanceOfEitherLevelOnTheSameFolderEndsWithMinusOne) {
    in_child([] {
        test::TempDir dir;
        const std::string line = "s;--install_dir=" + dir.path().string() + ";--modules=3";
        const fs::path folder = dir / "Castmill";
        fs::create_directories(folder);
        {
            auto first = NamedMutex::create_owned(kAdminMutexName, folder);
            ASSERT_TRUE(first);
            Recorder recorder;
            EXPECT_EQ(run_setup(line, recorder.steps(true)), kExitAlreadyRunning);
            EXPECT_EQ(recorder.windows, 0);
            EXPECT_NE(logged().find("call exit: OpenMutex error"), std::string::npos);
            // The first one's guard is untouched.
            EXPECT_TRUE(NamedMutex::exists(kAdminMutexName, folder));
            // An installer of another folder runs meanwhile.
            EXPECT_EQ(run_setup("s;--install_dir=" + (dir / "other").string() + ";--modules=3",
                                recorder.steps(true)),
                      0);
            EXPECT_EQ(recorder.windows, 1);
        }
        auto first = NamedMutex::create_owned(kNonAdminMutexName, folder);
        ASSERT_TRUE(first);
        Recorder recorder;
        EXPECT_EQ(run_setup(line, recorder.steps(false)), kExitAlreadyRunning);
        EXPECT_TRUE(recorder.relaunches.empty());
        EXPECT_NE(logged().find("call exit: OpenMutex admin error"), std::string::npos);
    });
}

TEST(Startup, NonElevatedRunRelaunchesWithTheQuoteFreeLineWhileHoldingItsMutex) {
    in_child([] {
        test::TempDir dir;
        Recorder recorder;
        recorder.install_dir = dir / "Castmill";
        const std::string line =
            "\"/suite/set up\";--install_dir=\"" + dir.path().string() + "\";--modules=3";
        EXPECT_EQ(run_setup(line, recorder.steps(false)), 0);
        ASSERT_EQ(recorder.relaunches.size(), 1u);
        EXPECT_EQ(recorder.relaunches[0],
                  "/suite/set up;--install_dir=" + dir.path().string() + ";--modules=3");
        EXPECT_TRUE(recorder.user_held);
        EXPECT_FALSE(recorder.admin_held);  // the elevated copy takes that one itself
        EXPECT_EQ(recorder.windows, 0);
        EXPECT_FALSE(NamedMutex::exists(kNonAdminMutexName, recorder.install_dir));
    });
}

// Nobody watches an unattended elevated copy, so its exit code is the only news of it;
// the window's user has seen the window.
TEST(Startup, OnlyAnUnattendedRunPassesOnTheElevatedCopysExitCode) {
    in_child([] {
        test::TempDir dir;
        Recorder recorder;
        recorder.elevated_exit = 2;
        const std::string line = "s;--install_dir=" + dir.path().string() + ";--modules=3";
        EXPECT_EQ(run_setup(line, recorder.steps(false)), 0);
        EXPECT_EQ(run_setup(line + ";--silent", recorder.steps(false)), 2);
        EXPECT_EQ(recorder.relaunches.back(), line + ";--silent");
    });
}

TEST(Startup, LaunchFailuresEndBeforeAnyMutexOrWindow) {
    in_child([] {
        test::TempDir dir;
        test::write_file(dir / "file", "not a folder");
        Recorder recorder;
        EXPECT_EQ(run_setup("s;--install_dir=" + (dir / "file").string(), recorder.steps(true)),
                  kExitInstallDirectoryNotCreated);
        EXPECT_EQ(recorder.windows, 0);
        EXPECT_FALSE(NamedMutex::exists(kAdminMutexName, dir / "file" / "Castmill"));
    });
}

TEST(Startup, HiddenExitPauseArgumentStaysOutOfTheCommandLine) {
    const char* plain[] = {"setup", "/s/setup;--modules=3"};
    ProgramArguments arguments = read_program_arguments(2, plain);
    EXPECT_EQ(arguments.command_line, "/s/setup;--modules=3");
    EXPECT_EQ(arguments.exit_pause, kExitPause);
    EXPECT_EQ(kExitPause, std::chrono::milliseconds(5000));

    const char* shortened[] = {"setup", "--exit-pause-ms=0", "a;b", "c"};
    arguments = read_program_arguments(4, shortened);
    EXPECT_EQ(arguments.command_line, "a;b c");
    EXPECT_EQ(arguments.exit_pause, std::chrono::milliseconds(0));

    // Anything but a plain number in range is an ordinary argument.
    const char* odd[] = {"setup", "--exit-pause-ms=-1", "--exit-pause-ms=5x", "--exit-pause-ms="};
    arguments = read_program_arguments(4, odd);
    EXPECT_EQ(arguments.command_line, "--exit-pause-ms=-1 --exit-pause-ms=5x --exit-pause-ms=");
    EXPECT_EQ(arguments.exit_pause, kExitPause);

    // A command line kept whole: only a leading hidden argument is taken out.
    arguments = read_command_line_tail("--exit-pause-ms=0  C:\\a b\\setup.exe;--modules=3");
    EXPECT_EQ(arguments.command_line, "C:\\a b\\setup.exe;--modules=3");
    EXPECT_EQ(arguments.exit_pause, std::chrono::milliseconds(0));
    arguments = read_command_line_tail("--exit-pause-ms=7");
    EXPECT_EQ(arguments.command_line, "");
    EXPECT_EQ(arguments.exit_pause, std::chrono::milliseconds(7));
    arguments = read_command_line_tail("s;--modules=3 --exit-pause-ms=0");
    EXPECT_EQ(arguments.command_line, "s;--modules=3 --exit-pause-ms=0");
    EXPECT_EQ(arguments.exit_pause, kExitPause);
    arguments = read_command_line_tail("--exit-pause-ms=x s");
    EXPECT_EQ(arguments.command_line, "--exit-pause-ms=x s");
}

}  // namespace
}  // namespace velora::st
