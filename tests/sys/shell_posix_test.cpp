#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/test_env.h"
#include "sys/error_code.h"
#include "sys/processes.h"
#include "sys/shell.h"

namespace velora::sys {
namespace {

namespace fs = std::filesystem;
using castmill::test::read_file;
using castmill::test::TempDir;
using castmill::test::test_programs_dir;
using castmill::test::write_file;

fs::path helper() { return test_programs_dir() / "proc_helper"; }

TEST(ShellExecute, WaitsForTheProgramAndReadsItsExitCode) {
    ShellStart started;
    ASSERT_EQ(shell_execute(helper(), "exit 7", ShowWindow::Normal, true, &started), 0);
    EXPECT_TRUE(started.has_process);
    ASSERT_TRUE(started.exit_code.has_value());
    EXPECT_EQ(*started.exit_code, 7u);

    ASSERT_EQ(launch_elevated(helper(), "exit 0", ShowWindow::Hidden, true, &started), 0);
    EXPECT_EQ(started.exit_code, 0u);
}

TEST(ShellExecute, SplitsParametersLikeAShell) {
    TempDir dir;
    const fs::path out = dir / "words";
    const std::string params = "args '" + out.string() + "' \"a b\" c\\ d 'e \"f\"' /S";
    ASSERT_EQ(shell_execute(helper(), params, ShowWindow::Normal, true), 0);
    EXPECT_EQ(read_file(out), "a b\nc d\ne \"f\"\n/S\n");
}

TEST(ShellExecute, ReturnsTheSystemCodeOfAFailedStart) {
    TempDir dir;
    ShellStart started;
    EXPECT_EQ(shell_execute(dir / "missing", "", ShowWindow::Normal, true, &started),
              kErrorFileNotFound);
    EXPECT_FALSE(started.has_process);

    const fs::path text = dir / "not-a-program";
    write_file(text, "plain text\n");
    EXPECT_EQ(shell_execute(text, "", ShowWindow::Normal, false), kErrorAccessDenied);
}

TEST(ShellExecute, DoesNotWaitWhenNotAsked) {
    TempDir dir;
    const fs::path ready = dir / "ready";
    ShellStart started;
    ASSERT_EQ(shell_execute(helper(), "sleep '" + ready.string() + "'", ShowWindow::Maximized,
                            false, &started),
              0);
    EXPECT_TRUE(started.has_process);
    EXPECT_FALSE(started.exit_code.has_value());
    const auto pid = static_cast<pid_t>(castmill::test::wait_for_pid_file(ready));
    ASSERT_NE(pid, 0);
    EXPECT_EQ(kill(pid, SIGKILL), 0);
}

TEST(ParamWord, ArrivesAsOneUnchangedWord) {
    for (const std::string text : {"plain", "/a b/c", "it's", "say \"x\"", "back\\slash\\",
                                   "$HOME `x`", "tab\tline\nend", ""}) {
        const std::string word = param_word(text);
        EXPECT_EQ(split_command_line("a " + word + " b"),
                  (std::vector<std::string>{"a", text, "b"}))
            << word;
    }
    EXPECT_EQ(param_word("/plain/path"), "/plain/path");
    EXPECT_EQ(param_word("--user-data-dir=/p", true), "\"--user-data-dir=/p\"");
}

TEST(CreateShortcut, WritesADesktopEntryBesideTheLinkName) {
    TempDir dir;
    const fs::path target = dir / "Castmill dir" / "chrome.exe";
    ASSERT_TRUE(create_shortcut(target, dir / "Castmill.lnk", "--user-data-dir=/p/Chromium", "",
                                fs::path()));
    EXPECT_FALSE(fs::exists(dir / "Castmill.lnk"));
    const fs::path entry = dir / "Castmill.desktop";
    EXPECT_EQ(shortcut_file(dir / "Castmill.lnk"), entry);
    EXPECT_EQ(read_file(entry), "[Desktop Entry]\nType=Application\nName=Castmill\nExec=\"" +
                                    target.string() +
                                    "\" --user-data-dir=/p/Chromium\nTerminal=false\n");
    struct stat st {};
    ASSERT_EQ(stat(entry.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IXUSR, 0u);
    EXPECT_FALSE(fs::exists(dir / ".Castmill.desktop.tmp"));
}

TEST(CreateShortcut, QuotesExecArgumentsAndEscapesTheValue) {
    TempDir dir;
    // A quoted argument escapes " ` $ \ inside the quotes; % is always doubled; the
    // value escape then doubles every backslash once more.
    ASSERT_TRUE(create_shortcut("/opt/app", dir / "x.lnk",
                                R"('a "q"' 'b\c' 100% '$HOME' plain=1 '`t`')", "Says \"hi\"\nok",
                                "/work dir"));
    const std::string text = read_file(dir / "x.desktop");
    EXPECT_NE(text.find(R"(Exec=/opt/app "a \\"q\\"" "b\\\\c" 100%% "\\$HOME" plain=1 "\\`t\\`")"
                        "\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Comment=Says \"hi\"\\nok\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Path=/work dir\n"), std::string::npos) << text;
}

TEST(CreateShortcut, FailsWhenTheFolderIsMissing) {
    TempDir dir;
    EXPECT_FALSE(create_shortcut("/opt/app", dir / "no" / "x.lnk", "", "", fs::path()));
    EXPECT_FALSE(fs::exists(dir / "no"));
}

TEST(RegisterComServer, IsNotSupportedHere) {
    EXPECT_EQ(register_com_server("/x/obs-virtualcam-module64.dll", std::chrono::milliseconds(1)),
              kErrorNotSupported);
    EXPECT_TRUE(is_elevated());
}

}  // namespace
}  // namespace velora::sys
