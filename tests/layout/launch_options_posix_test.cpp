#include <gtest/gtest.h>

#include "base/result_codes.h"
#include "layout/launch_options.h"
#include "support/log_capture.h"
#include "support/program_run.h"
#include "support/scoped_env.h"
#include "support/test_env.h"

namespace velora::st {
namespace {

namespace fs = std::filesystem;
using castmill::test::TempDir;

int exit_code(std::string_view command_line) {
    LaunchParse launch = parse_launch_options(command_line);
    if (auto* exit = std::get_if<LaunchExit>(&launch)) return exit->code;
    return 0;
}

TEST(LaunchOptions, EndsWithTwoWithoutAnyInstallDirectory) {
    castmill::test::ScopedEnv env;
    env.set("XDG_DATA_HOME", std::nullopt);
    env.set("HOME", std::nullopt);
    EXPECT_EQ(exit_code("s;--modules=3"), kExitFailed);
    EXPECT_EQ(kExitFailed, 2);
}

TEST(SetupProgram, ReturnsTheLaunchExitCodesBeforeAnyWindow) {
    TempDir dir;
    castmill::test::write_file(dir / "plain", "a file, not a folder");
    castmill::test::ProgramOptions options;
    options.env = {{"TMPDIR", dir.path().string()}};
    const auto bad_dir =
        castmill::test::run_program(castmill::test::bin_dir() / "setup",
                                    {"--install_dir=" + (dir / "plain").string()}, options);
    EXPECT_EQ(bad_dir.exit_code, 254) << "-2 as a process status";
    const std::vector<std::string> lines =
        castmill::test::log_line_bodies(dir / "castmill" / "log");
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1], "[velora] start setup process v: 1.0.5");

    options.env.push_back({"HOME", std::nullopt});
    options.env.push_back({"XDG_DATA_HOME", std::nullopt});
    const auto no_dir = castmill::test::run_program(castmill::test::bin_dir() / "setup",
                                                    {"/opt/setup;--modules=3"}, options);
    EXPECT_EQ(no_dir.exit_code, 2);
}

}  // namespace
}  // namespace velora::st
