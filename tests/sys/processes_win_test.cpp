#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <memory>

#include "support/child_process.h"
#include "support/running_program.h"
#include "support/test_env.h"
#include "sys/processes.h"
#include "sys/shell.h"

namespace velora::sys {
namespace {

namespace fs = std::filesystem;
using castmill::test::ChildProcess;
using castmill::test::TempDir;

using namespace std::chrono_literals;

// Long enough that a program which ends on the close request always makes it; the
// wait returns as soon as everything has ended, so it never elapses in a passing run.
constexpr auto kGenerousGrace = 30s;
constexpr auto kShortGrace = 100ms;
// How proc_helper ends on a close request; a terminated process ends with 0.
constexpr int kClosed = 15;
constexpr int kTerminated = 0;

fs::path helper() { return castmill::test::test_program("proc_helper"); }

bool under_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

class ProcessControlOnWindows : public ::testing::Test {
protected:
    // Starts a copy of the helper named `name` in `dir` with a window, waiting until it is
    // set up.
    std::unique_ptr<ChildProcess> start_copy(const fs::path& dir, const std::string& name,
                                             std::vector<std::string> options = {}) {
        fs::create_directories(dir);
        const fs::path program = dir / name;
        if (!fs::exists(program)) fs::copy_file(helper(), program);
        const fs::path ready = temp_ / ("ready-" + std::to_string(++started_));
        std::vector<std::string> args = {"sleep", ready.string()};
        args.insert(args.end(), options.begin(), options.end());
        auto child = std::make_unique<ChildProcess>(program, args);
        EXPECT_TRUE(child->wait_for_file(ready)) << program;
        return child;
    }

    TempDir temp_;
    fs::path install_ = temp_ / "Castmill";
    int started_ = 0;
};

TEST_F(ProcessControlOnWindows, ListsAStartedProgramByItsImageInsideItsFolder) {
    auto chrome = start_copy(install_ / "VeloraBrowser", "chrome.exe");
    const auto processes = list_processes();
    ASSERT_TRUE(processes);
    const auto found = std::find_if(processes->begin(), processes->end(), [&](const auto& p) {
        return p.pid == static_cast<ProcessId>(chrome->pid());
    });
    ASSERT_NE(found, processes->end());
    EXPECT_EQ(found->image.filename(), "chrome.exe");
    EXPECT_TRUE(image_in_directory(found->image, install_)) << found->image;
    EXPECT_TRUE(image_in_directory(found->image, install_ / "VeloraBrowser" / ""));
    EXPECT_TRUE(image_in_directory(found->image, temp_ / "CASTMILL")) << "case does not count";
    EXPECT_FALSE(image_in_directory(found->image, temp_ / "Castmil"));
    EXPECT_FALSE(image_in_directory(found->image, install_ / "VeloraBrowser" / "chrome.exe"));
    EXPECT_FALSE(image_in_directory(found->image, fs::path()));

    const auto self = std::find_if(processes->begin(), processes->end(),
                                   [](const auto& p) { return p.pid == current_process_id(); });
    ASSERT_NE(self, processes->end());
    EXPECT_EQ(self->image.filename(), "test_sys.exe");
}

TEST_F(ProcessControlOnWindows, StopsOnlyListedProgramsInsideTheInstallDirectory) {
    auto chrome = start_copy(install_, "chrome.exe");
    auto updater = start_copy(install_ / "Update", "updater.exe");
    auto unlisted = start_copy(install_, "notes.exe");
    auto foreign = start_copy(temp_ / "Elsewhere", "chrome.exe");
    auto sibling = start_copy(temp_ / "Castmill2", "chrome.exe");

    EXPECT_EQ(wait_for_processer(install_, {"chrome.exe", "updater.exe"}, kGenerousGrace), 0);

    // Stopped by the close request to their windows, not terminated.
    EXPECT_EQ(chrome->wait(), kClosed);
    EXPECT_EQ(updater->wait(), kClosed);
    EXPECT_FALSE(unlisted->poll());
    EXPECT_FALSE(foreign->poll());
    EXPECT_FALSE(sibling->poll());
}

TEST_F(ProcessControlOnWindows, ProgramIgnoringTheCloseRequestIsTerminatedAfterTheGrace) {
    auto stubborn = start_copy(install_, "vlr_obs64.exe", {"--ignore-close"});
    auto polite = start_copy(install_, "7z.exe");

    EXPECT_EQ(wait_for_processer(install_, {"vlr_obs64.exe", "7z.exe"}, kShortGrace), 0);

    EXPECT_EQ(stubborn->wait(), kTerminated);
    EXPECT_EQ(polite->wait(), kClosed);
}

TEST_F(ProcessControlOnWindows, SetupIsStoppedOnlyWhenAsked) {
    auto setup = start_copy(install_ / "Update", "setup.exe");
    kill_castmill(install_, true, false, kGenerousGrace);
    EXPECT_FALSE(setup->poll());
    kill_castmill(install_, true, true, kGenerousGrace);
    EXPECT_EQ(setup->wait(), kClosed);
}

TEST_F(ProcessControlOnWindows, AProgramWithoutAWindowGetsNoCloseRequest) {
    castmill::test::RunningProgram idle(castmill::test::test_program("idle_program"));
    ASSERT_EQ(idle.exchange("hi"), "hi");
    EXPECT_FALSE(request_close(static_cast<ProcessId>(idle.pid())));
    EXPECT_TRUE(terminate(static_cast<ProcessId>(idle.pid())));
    EXPECT_EQ(wait_all({static_cast<ProcessId>(idle.pid())}, kGenerousGrace), WaitResult::AllEnded);
}

TEST(CommandLineOnWindows, RunsHiddenProgramsWithTheirExitCodeAndQuotedWords) {
    TempDir temp;
    std::uint32_t exit_code = 0;
    EXPECT_TRUE(execute_command_line(param_word(helper().string()) + " exit 7", exit_code, true));
    EXPECT_EQ(exit_code, 7u);

    const fs::path out = temp / "args.txt";
    ASSERT_TRUE(execute_command_line(param_word(helper().string()) + " args " +
                                         param_word(out.string()) + " \"a b\" \"c \\\"d\\\"\" e",
                                     exit_code, true));
    EXPECT_EQ(exit_code, 0u);
    EXPECT_EQ(castmill::test::read_file(out), "a b\nc \"d\"\ne\n");

    const fs::path ready = temp / "ready";
    ASSERT_TRUE(execute_command_line(
        param_word(helper().string()) + " sleep " + param_word(ready.string()), exit_code, false));
    EXPECT_EQ(exit_code, kStillActive);
    const auto pid = static_cast<ProcessId>(castmill::test::wait_for_pid_file(ready));
    ASSERT_NE(pid, 0u);
    EXPECT_TRUE(request_close(pid));
    EXPECT_EQ(wait_all({pid}, kGenerousGrace), WaitResult::AllEnded);
}

TEST(CommandLineOnWindows, MissingProgramGivesTheSystemsCode) {
    std::uint32_t exit_code = 0;
    EXPECT_FALSE(execute_command_line("castmill-no-such-program.exe a x", exit_code, true));
    EXPECT_EQ(exit_code, 2u);
    EXPECT_FALSE(execute_command_line("", exit_code, true));
    EXPECT_EQ(exit_code, 2u);
}

TEST_F(ProcessControlOnWindows, NamesProgramsThatHoldAFile) {
    if (under_wine()) GTEST_SKIP() << "Wine's Restart Manager lists no programs";
    const fs::path held = temp_ / "data" / "held.dll";
    castmill::test::write_file(held, "held");
    const fs::path ready = temp_ / "hold-ready";
    ChildProcess holder(helper(), {"sleep", ready.string(), "--hold", held.string()});
    ASSERT_TRUE(holder.wait_for_file(ready));

    const auto holders = programs_holding({held, temp_ / "missing.dll"});
    ASSERT_EQ(holders.size(), 1u);
    EXPECT_EQ(holders[0].pid, static_cast<ProcessId>(holder.pid()));
    EXPECT_EQ(holders[0].name, "proc_helper.exe");
    EXPECT_TRUE(programs_holding({temp_ / "missing.dll"}).empty());
}

}  // namespace
}  // namespace velora::sys
