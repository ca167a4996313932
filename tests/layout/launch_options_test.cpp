#include "layout/launch_options.h"

#include <gtest/gtest.h>

#include <climits>
#include <optional>

#include "base/result_codes.h"
#include "layout/paths.h"
#include "support/log_capture.h"
#include "support/program_run.h"
#include "support/test_env.h"
#include "sys/folders.h"

namespace velora::st {
namespace {

namespace fs = std::filesystem;
using castmill::test::TempDir;

ParsedLaunch parsed(std::string_view command_line) {
    LaunchParse launch = parse_launch_options(command_line);
    EXPECT_TRUE(std::holds_alternative<ParsedLaunch>(launch)) << command_line;
    if (auto* result = std::get_if<ParsedLaunch>(&launch)) return *result;
    return {};
}

int exit_code(std::string_view command_line) {
    LaunchParse launch = parse_launch_options(command_line);
    if (auto* exit = std::get_if<LaunchExit>(&launch)) return exit->code;
    return 0;
}

fs::path default_install_dir() {
    return *sys::known_folder(sys::KnownFolder::LocalAppData) / "Velora" / "Castmill";
}

TEST(LaunchOptions, EmptyCommandLineInstallsEverythingIntoLocalAppData) {
    const ParsedLaunch launch = parsed("");
    EXPECT_EQ(launch.options.install_dir, default_install_dir());
    EXPECT_TRUE(fs::is_directory(default_install_dir()));
    EXPECT_EQ(launch.options.setup_source, fs::path());
    EXPECT_EQ(launch.options.modules, 0);
    EXPECT_EQ(launch.command_line, "");
}

TEST(LaunchOptions, FirstTokenIsTheSetupSource) {
    const ParsedLaunch launch = parsed("/opt/suite/Update/setup;--modules=3");
    EXPECT_EQ(launch.options.setup_source, "/opt/suite/Update/setup");
    EXPECT_EQ(launch.options.modules, 3);
    EXPECT_EQ(launch.options.install_dir, default_install_dir());

    const ParsedLaunch trailing = parsed("--modules=1;");
    EXPECT_EQ(trailing.options.setup_source, "--modules=1");
    EXPECT_EQ(trailing.options.modules, 1);
}

TEST(LaunchOptions, InstallDirectoryGetsCastmillAppendedAndIsCreated) {
    TempDir dir;
    const ParsedLaunch launch = parsed("--install_dir=" + (dir / "x").string() + ";-m=2");
    EXPECT_EQ(launch.options.install_dir, dir / "x" / "Castmill");
    EXPECT_TRUE(fs::is_directory(dir / "x" / "Castmill"));
    EXPECT_EQ(launch.options.modules, 2);

    const ParsedLaunch later =
        parsed("s;-d=" + (dir / "a").string() + ";--install_dir= " + (dir / "b").string() + " ");
    EXPECT_EQ(later.options.install_dir, dir / "b" / "Castmill") << "a later token replaces";

    const ParsedLaunch prefixed = parsed("s;-dfoo=" + (dir / "c").string() + ";-mx=7");
    EXPECT_EQ(prefixed.options.install_dir, dir / "c" / "Castmill");
    EXPECT_EQ(prefixed.options.modules, 7);
}

TEST(LaunchOptions, IgnoresInstallDirectoriesWithoutExactlyOneValue) {
    TempDir dir;
    EXPECT_EQ(parsed("s;--install_dir=" + (dir / "a=b").string()).options.install_dir,
              default_install_dir());
    EXPECT_EQ(parsed("s;--install_dir").options.install_dir, default_install_dir());
    EXPECT_EQ(parsed("s;--install_dir=  ").options.install_dir, default_install_dir())
        << "an empty value is a missing one, not the relative folder Castmill";
    EXPECT_EQ(parsed("s; --install_dir=" + dir.path().string()).options.install_dir,
              default_install_dir())
        << "the prefix test comes before trimming";
}

TEST(LaunchOptions, ModulesTakeTheLeadingDecimalNumberWhenPositive) {
    EXPECT_EQ(parsed("s;--modules=0x3").options.modules, 0);
    EXPECT_EQ(parsed("s;--modules=-5").options.modules, 0);
    EXPECT_EQ(parsed("s;--modules=6abc").options.modules, 6);
    EXPECT_EQ(parsed("s;--modules = 5 ").options.modules, 5);
    EXPECT_EQ(parsed("s;--modules=x").options.modules, 0);
    EXPECT_EQ(parsed("s;--modules=3;--modules").options.modules, 3) << "no value keeps the last";
    EXPECT_EQ(parsed("s;--modules=3;--modules=1=2").options.modules, 3);
    EXPECT_EQ(parsed("s;--modules=99999999999999999999").options.modules, INT_MAX);
}

TEST(LaunchOptions, SilentAndNoLaunchAreWholeTokensAnywhereInTheLine) {
    const auto both = parsed("s;--silent;--modules=3; --no-launch ").options;
    EXPECT_TRUE(both.silent);
    EXPECT_TRUE(both.no_launch);
    EXPECT_EQ(both.modules, 3);
    // An administrator's bare "setup --silent" is a full install, unattended.
    EXPECT_TRUE(parsed("--silent").options.silent);
    EXPECT_EQ(parsed("--silent").options.install_dir, default_install_dir());

    for (const char* line : {"s;--modules=3", "s;--silently", "s;--silent=1", "s;-silent"}) {
        EXPECT_FALSE(parsed(line).options.silent) << line;
    }
    EXPECT_FALSE(parsed("s;--silent").options.no_launch);
}

TEST(LaunchOptions, AllowDowngradeIsAWholeTokenAndOffByDefault) {
    EXPECT_TRUE(parsed("s;--modules=3; --allow-downgrade").options.allow_downgrade);
    for (const char* line : {"s;--modules=3", "s;--allow-downgrade=1", "s;--allow-downgrades"}) {
        EXPECT_FALSE(parsed(line).options.allow_downgrade) << line;
    }
}

TEST(LaunchOptions, DropsEveryDoubleQuote) {
    TempDir dir;
    const std::string folder = (dir / "with blank").string();
    const ParsedLaunch launch =
        parsed("\"" + folder + "/setup\";\"--install_dir=" + folder + "\";--mod\"ules=1");
    EXPECT_EQ(launch.options.setup_source, folder + "/setup");
    EXPECT_EQ(launch.options.install_dir, fs::path(folder) / "Castmill");
    EXPECT_EQ(launch.options.modules, 1);
    EXPECT_EQ(launch.command_line, folder + "/setup;--install_dir=" + folder + ";--modules=1");
}

TEST(LaunchOptions, EndsWithMinusTwoWhenTheInstallDirectoryCannotBeCreated) {
    TempDir dir;
    castmill::test::write_file(dir / "plain", "a file, not a folder");
    EXPECT_EQ(exit_code("s;--install_dir=" + (dir / "plain").string()),
              kExitInstallDirectoryNotCreated);
    EXPECT_EQ(kExitInstallDirectoryNotCreated, -2);
}

TEST(LaunchOptions, CommandLineIsTheArgumentsAfterTheProgramName) {
    const char* none[] = {"setup"};
    EXPECT_EQ(command_line_from_arguments(1, none), "");
    const char* some[] = {"setup", "/a b/setup;", "--modules=3", ""};
    EXPECT_EQ(command_line_from_arguments(4, some), "/a b/setup; --modules=3 ");
}

TEST(LaunchOptions, LogsEveryStep) {
    TempDir dir;
    const auto run = castmill::test::run_program(
        castmill::test::test_programs_dir() / "launch_probe",
        {(dir / "log").string(), "\"/opt/setup\";--install_dir=" + (dir / "i").string(),
         ";--modules=-5"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const std::string install = (dir / "i" / "Castmill").string();
    EXPECT_EQ(run.out, "install_dir=" + install + "\nmodules=0\n");
    const std::vector<std::string> expected = {
        "enable velora local logger",
        "[velora] wstrCmdLine: /opt/setup;--install_dir=" + (dir / "i").string() + " ;--modules=-5",
        "",
        "[velora] index: 0 args: /opt/setup",
        "",
        "[velora] index: 1 args: --install_dir=" + (dir / "i").string() + " ",
        "",
        "[velora] index: 2 args: --modules=-5",
        "",
        "[velora] modules: 0xfffffffb, workpath: " + fs::current_path().string(),
        "",
        "[velora] setup_dir: " + install,
        "",
    };
    EXPECT_EQ(castmill::test::log_line_bodies(dir / "log"), expected);
}

}  // namespace
}  // namespace velora::st
