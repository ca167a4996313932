#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>

#include "support/child_process.h"
#include "support/test_env.h"
#include "sys/folders.h"
#include "sys/processes.h"

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

fs::path helper() { return castmill::test::test_programs_dir() / "proc_helper"; }

bool ended_by(int status, int signal) { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }

class ProcessControl : public ::testing::Test {
protected:
    // Starts a copy of the helper named `name` in `dir`, waiting until it is set up.
    std::unique_ptr<ChildProcess> start_copy(const fs::path& dir, const std::string& name,
                                             std::vector<std::string> options = {}) {
        fs::create_directories(dir);
        const fs::path program = dir / name;
        if (!fs::exists(program)) fs::copy_file(helper(), program);
        return start(program, std::move(options));
    }

    std::unique_ptr<ChildProcess> start(const fs::path& program, std::vector<std::string> options) {
        const fs::path ready = temp_ / ("ready-" + std::to_string(++started_));
        std::vector<std::string> args = {"sleep", ready.string()};
        args.insert(args.end(), options.begin(), options.end());
        auto child = std::make_unique<ChildProcess>(program, args);
        EXPECT_TRUE(child->wait_for_file(ready)) << program;
        return child;
    }

    TempDir temp_;
    fs::path install_ = temp_ / "Castmill";
    fs::path outside_ = temp_ / "Elsewhere";
    int started_ = 0;
};

TEST_F(ProcessControl, StopsOnlyListedProgramsInsideTheInstallDirectory) {
    auto chrome = start_copy(install_, "chrome.exe");
    auto updater = start_copy(install_ / "Update", "updater.exe");
    auto capital = start_copy(install_, "Chrome.exe");
    auto unlisted = start_copy(install_, "notes.exe");
    auto foreign = start_copy(outside_, "chrome.exe");
    auto sibling = start_copy(temp_ / "Castmill2", "chrome.exe");

    EXPECT_EQ(wait_for_processer(install_, {"chrome.exe", "updater.exe"}, kGenerousGrace), 0);

    // Stopped by the close request, not killed.
    EXPECT_TRUE(ended_by(chrome->wait(), SIGTERM));
    EXPECT_TRUE(ended_by(updater->wait(), SIGTERM));
    // Anything selected would have been waited for, so these would have ended by now.
    EXPECT_FALSE(capital->poll());
    EXPECT_FALSE(unlisted->poll());
    EXPECT_FALSE(foreign->poll());
    EXPECT_FALSE(sibling->poll());
}

TEST_F(ProcessControl, ProgramIgnoringTheCloseRequestIsKilledAfterTheGrace) {
    auto stubborn = start_copy(install_, "vlr_obs64.exe", {"--ignore-term"});
    auto polite = start_copy(install_, "7z.exe");

    EXPECT_EQ(wait_for_processer(install_, {"vlr_obs64.exe", "7z.exe"}, kShortGrace), 0);

    EXPECT_TRUE(ended_by(stubborn->wait(), SIGKILL));
    EXPECT_TRUE(ended_by(polite->wait(), SIGTERM));
}

TEST_F(ProcessControl, SetupIsStoppedOnlyWhenAsked) {
    auto setup = start_copy(install_ / "Update", "setup.exe");

    kill_castmill(install_, true, false, kGenerousGrace);
    EXPECT_FALSE(setup->poll());

    kill_castmill(install_, true, true, kGenerousGrace);
    EXPECT_TRUE(ended_by(setup->wait(), SIGTERM));
}

TEST_F(ProcessControl, FindsProgramsThroughALinkedInstallDirectory) {
    auto chrome = start_copy(install_, "chrome.exe");
    const fs::path link = temp_ / "link";
    fs::create_directory_symlink(install_, link);

    kill_castmill(link / "", false, false, kGenerousGrace);

    EXPECT_TRUE(ended_by(chrome->wait(), SIGTERM));
}

TEST_F(ProcessControl, StopsAProgramWhoseFileWasDeleted) {
    auto chrome = start_copy(install_, "chrome.exe");
    fs::remove(install_ / "chrome.exe");

    EXPECT_EQ(wait_for_processer(install_, {"chrome.exe"}, kGenerousGrace), 0);

    EXPECT_TRUE(ended_by(chrome->wait(), SIGTERM));
}

TEST_F(ProcessControl, EmptyInstallDirectoryStopsNothing) {
    auto chrome = start_copy(install_, "chrome.exe");
    kill_castmill(fs::path(), true, true, kShortGrace);
    EXPECT_EQ(wait_for_processer(temp_ / "Missing", {"chrome.exe"}, kShortGrace), 0);
    EXPECT_FALSE(chrome->poll());
}

TEST_F(ProcessControl, InstallerInsideTheInstallDirectoryNeverStopsItself) {
    auto other = start_copy(install_, "setup.exe");
    const fs::path installer = install_ / "Update" / "setup.exe";
    fs::create_directories(installer.parent_path());
    fs::copy_file(helper(), installer);

    ChildProcess shutdown(installer, {"shutdown", install_.string(), "30000", "setup.exe"});

    const int status = shutdown.wait();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(ended_by(other->wait(), SIGTERM));
}

TEST(ProcessPrimitives, ListsProcessesWithTheirProgramFiles) {
    const auto processes = list_processes();
    ASSERT_TRUE(processes);
    const auto self = std::find_if(processes->begin(), processes->end(), [](const ProcessInfo& p) {
        return p.pid == current_process_id();
    });
    ASSERT_NE(self, processes->end());
    EXPECT_EQ(self->image, executable_path());
}

TEST(ProcessPrimitives, DecidesWhetherAProgramLiesInsideADirectory) {
    EXPECT_TRUE(image_in_directory("/opt/Castmill/chrome.exe", "/opt/Castmill"));
    EXPECT_TRUE(image_in_directory("/opt/Castmill/bin/chrome.exe", "/opt/Castmill/"));
    EXPECT_FALSE(image_in_directory("/opt/Castmill2/chrome.exe", "/opt/Castmill"));
    EXPECT_FALSE(image_in_directory("/opt/chrome.exe", "/opt/Castmill"));
    EXPECT_FALSE(image_in_directory("/opt/Castmill", "/opt/Castmill"));
    EXPECT_FALSE(image_in_directory("/opt/castmill/chrome.exe", "/opt/Castmill"));
    EXPECT_FALSE(image_in_directory("/opt/Castmill/chrome.exe", ""));
}

TEST(CommandLine, ReturnsTheProgramsExitCode) {
    std::uint32_t exit_code = 0;
    EXPECT_TRUE(execute_command_line(helper().string() + " exit 7", exit_code, true));
    EXPECT_EQ(exit_code, 7u);
}

TEST(CommandLine, PassesQuotedParameters) {
    TempDir temp;
    const fs::path out = temp / "args.txt";
    std::uint32_t exit_code = 1;
    ASSERT_TRUE(execute_command_line(
        helper().string() + " args \"" + out.string() + "\" 'a b' \"c \\\"d\\\"\" e\\ f", exit_code,
        true));
    EXPECT_EQ(exit_code, 0u);
    EXPECT_EQ(castmill::test::read_file(out), "a b\nc \"d\"\ne f\n");
}

TEST(CommandLine, MissingProgramGivesFileNotFound) {
    std::uint32_t exit_code = 0;
    EXPECT_FALSE(execute_command_line("/nonexistent/castmill/7z.exe a x", exit_code, true));
    EXPECT_EQ(exit_code, 2u);
    exit_code = 0;
    EXPECT_FALSE(execute_command_line("castmill-no-such-program", exit_code, true));
    EXPECT_EQ(exit_code, 2u);
    exit_code = 0;
    EXPECT_FALSE(execute_command_line("   ", exit_code, true));
    EXPECT_EQ(exit_code, 2u);
}

TEST(CommandLine, WithoutWaitingReportsStillActiveAndStartsWithDefaultSignals) {
    TempDir temp;
    const fs::path ready = temp / "ready";
    std::uint32_t exit_code = 0;
    // The installer's own signal settings must not reach the programs it starts.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    sigaction(SIGTERM, &ignore, &previous);
    const bool started =
        execute_command_line(helper().string() + " sleep " + ready.string(), exit_code, false);
    sigaction(SIGTERM, &previous, nullptr);
    ASSERT_TRUE(started);
    EXPECT_EQ(exit_code, kStillActive);

    const auto pid = static_cast<pid_t>(castmill::test::wait_for_pid_file(ready));
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(request_close(static_cast<ProcessId>(pid)));
    // Ends on the close request although the caller ignored it when starting the program.
    const WaitResult result = wait_all({static_cast<ProcessId>(pid)}, kGenerousGrace);
    if (result != WaitResult::AllEnded) terminate(static_cast<ProcessId>(pid));
    EXPECT_EQ(result, WaitResult::AllEnded);
}

class Holders : public ProcessControl {};

TEST_F(Holders, NamesProgramsThatOpenMapOrRunAFile) {
    const fs::path opened = temp_ / "data" / "opened.dll";
    const fs::path mapped = temp_ / "data" / "mapped.dll";
    const fs::path idle = temp_ / "data" / "idle.dll";
    castmill::test::write_file(opened, "opened");
    castmill::test::write_file(mapped, "mapped");
    castmill::test::write_file(idle, "idle");

    auto holder = start(helper(), {"--hold", opened.string()});
    auto mapper = start(helper(), {"--map", mapped.string()});
    auto runner = start_copy(install_, "Velora_Connect.exe");
    std::ifstream own(idle);  // the calling process is never named

    const auto pids = [](const std::vector<HoldingProgram>& programs) {
        std::vector<pid_t> result;
        for (const auto& program : programs) result.push_back(static_cast<pid_t>(program.pid));
        return result;
    };

    const auto opened_by = programs_holding({opened});
    EXPECT_EQ(pids(opened_by), std::vector<pid_t>{holder->pid()});
    ASSERT_EQ(opened_by.size(), 1u);
    EXPECT_EQ(opened_by[0].name, "proc_helper");
    EXPECT_EQ(opened_by[0].image, helper());

    EXPECT_EQ(pids(programs_holding({mapped})), std::vector<pid_t>{mapper->pid()});

    const auto running = programs_holding({install_ / "Velora_Connect.exe"});
    EXPECT_EQ(pids(running), std::vector<pid_t>{runner->pid()});
    ASSERT_EQ(running.size(), 1u);
    EXPECT_EQ(running[0].name, "Velora_Connect.exe");

    const auto both = pids(programs_holding({opened, temp_ / "missing.dll", mapped}));
    EXPECT_EQ(both.size(), 2u);
    EXPECT_TRUE(programs_holding({idle}).empty());
    EXPECT_TRUE(programs_holding({}).empty());
}

}  // namespace
}  // namespace velora::sys
