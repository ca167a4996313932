#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/wide_text_win.h"
#include "support/child_process.h"
#include "support/shell_link_win.h"
#include "support/test_env.h"
#include "sys/error_code.h"
#include "sys/processes.h"
#include "sys/shell.h"

namespace velora::sys {
namespace {

namespace fs = std::filesystem;
using castmill::test::read_file;
using castmill::test::TempDir;

fs::path helper() { return castmill::test::test_program("proc_helper"); }

TEST(ShellExecuteOnWindows, WaitsForTheProgramAndReadsItsExitCode) {
    ShellStart started;
    ASSERT_EQ(shell_execute(helper(), "exit 7", ShowWindow::Normal, true, &started), 0);
    EXPECT_TRUE(started.has_process);
    EXPECT_EQ(started.exit_code, 7u);

    ASSERT_EQ(launch_elevated(helper(), "exit 0", ShowWindow::Hidden, true, &started), 0);
    EXPECT_EQ(started.exit_code, 0u);
}

TEST(ShellExecuteOnWindows, QuotedWordsArriveUnchanged) {
    TempDir dir;
    const std::vector<std::string> words = {"plain",
                                            "C:\\Program Files\\Castmill",
                                            "say \"hi\"",
                                            "back\\slash\\",
                                            "two\\\\\"q\"",
                                            "tab\tend",
                                            "",
                                            "--user-data-dir=C:\\a b\\Chromium"};
    std::string params = "args " + param_word((dir / "words").string());
    std::string expected;
    for (const std::string& word : words) {
        params += " " + param_word(word);
        expected += word + "\n";
    }
    ASSERT_EQ(shell_execute(helper(), params, ShowWindow::Normal, true), 0);
    EXPECT_EQ(read_file(dir / "words"), expected);
    EXPECT_EQ(param_word("C:\\plain\\path"), "C:\\plain\\path");
    EXPECT_EQ(param_word("--user-data-dir=C:\\p", true), "\"--user-data-dir=C:\\p\"");
}

TEST(ShellExecuteOnWindows, AMissingProgramIsReportedAndAnUnwaitedOneRunsOn) {
    TempDir dir;
    ShellStart started;
    EXPECT_EQ(shell_execute(dir / "missing.exe", "", ShowWindow::Normal, true, &started),
              kErrorFileNotFound);
    EXPECT_FALSE(started.has_process);

    const fs::path ready = dir / "ready";
    ASSERT_EQ(shell_execute(helper(), "sleep " + param_word(ready.string()), ShowWindow::Maximized,
                            false, &started),
              0);
    EXPECT_TRUE(started.has_process);
    EXPECT_FALSE(started.exit_code.has_value());
    const auto pid = static_cast<ProcessId>(castmill::test::wait_for_pid_file(ready));
    ASSERT_NE(pid, 0u);
    EXPECT_TRUE(terminate(pid));
    EXPECT_EQ(wait_all({pid}, std::chrono::seconds(30)), WaitResult::AllEnded);
}

TEST(CreateShortcutOnWindows, WritesAShellLinkTheShellResolves) {
    TempDir dir;
    const fs::path target = dir / "Castmill dir" / "chrome.exe";
    fs::create_directories(target.parent_path());
    fs::copy_file(helper(), target);
    const fs::path link = dir / "Castmill.lnk";
    ASSERT_TRUE(create_shortcut(target, link, "--user-data-dir=\"C:\\p q\\Chromium\"",
                                "Castmill \xE6\x97\xA5", dir / "work"));
    EXPECT_EQ(shortcut_file(link), link);
    ASSERT_TRUE(fs::is_regular_file(link));

    const castmill::test::ShellLinkFields fields = castmill::test::read_shell_link(link);
    EXPECT_EQ(fs::path(fields.path), target);
    EXPECT_EQ(narrow(fields.arguments), "--user-data-dir=\"C:\\p q\\Chromium\"");
    EXPECT_EQ(narrow(fields.description), "Castmill \xE6\x97\xA5");
    EXPECT_EQ(fs::path(fields.workdir), dir / "work");

    // Created again over the old link: replaced, not refused.
    ASSERT_TRUE(create_shortcut(target, link, "", "", fs::path()));
    EXPECT_EQ(castmill::test::read_shell_link(link).arguments, L"");
}

TEST(CreateShortcutOnWindows, FailsWhenTheFolderIsMissing) {
    TempDir dir;
    EXPECT_FALSE(create_shortcut(helper(), dir / "no" / "x.lnk", "", "", fs::path()));
    EXPECT_FALSE(fs::exists(dir / "no"));
    EXPECT_FALSE(create_shortcut(fs::path(), dir / "x.lnk", "", "", fs::path()));
}

}  // namespace
}  // namespace velora::sys
