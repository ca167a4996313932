#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "layout/paths.h"
#include "setup/desktop_integration.h"
#include "support/child_process.h"
#include "support/scoped_env.h"
#include "support/test_env.h"
#include "sys/folders.h"
#include "sys/registry.h"

namespace velora::st {
namespace {

namespace fs = std::filesystem;
using castmill::test::read_file;
using castmill::test::ScopedEnv;
using castmill::test::TempDir;
using castmill::test::test_programs_dir;
using castmill::test::write_file;
using sys::RegistryHive;

const std::string kUninstall = std::string(kUninstallKey) + "Castmill";
const std::string kProduct = std::string(kSoftwareKey) + "Castmill";

fs::path fake_program() { return test_programs_dir() / "fake_full_installer"; }

std::optional<std::string> uninstall_value(const std::string& name) {
    return sys::registry_get_string(RegistryHive::LocalMachine, kUninstall, name);
}

class DesktopIntegration : public ::testing::Test {
protected:
    void SetUp() override {
        desktop_ = *sys::known_folder(sys::KnownFolder::CommonDesktop);
        programs_ = *sys::known_folder(sys::KnownFolder::CommonPrograms);
        for (const fs::path& p : {desktop_, programs_, *sys::registry_root()}) fs::remove_all(p);
        fs::create_directories(desktop_);
        install_dir_ = dir_ / "Velora" / "Castmill";
        fs::create_directories(install_dir_);
    }

    std::string exec_line() const {
        return "Exec=" + browser_executable(install_dir_).string() +
               " --user-data-dir=" + (dir_ / "Velora" / "Chromium").string() + "\n";
    }

    TempDir dir_;
    fs::path desktop_;
    fs::path programs_;
    fs::path install_dir_;
};

TEST_F(DesktopIntegration, WritesBothShortcutsAndTheUninstallEntry) {
    create_lnk_shortcut(install_dir_, "2.3.4");

    for (const fs::path& entry :
         {desktop_ / "Castmill.desktop", programs_ / "Castmill" / "Castmill.desktop"}) {
        const std::string text = read_file(entry);
        EXPECT_NE(text.find(exec_line()), std::string::npos) << entry << "\n" << text;
        EXPECT_NE(text.find("Name=Castmill\n"), std::string::npos);
    }
    EXPECT_EQ(sys::registry_get_string(RegistryHive::LocalMachine, kProduct, ""),
              (dir_ / "Velora").string());
    EXPECT_EQ(uninstall_value("DisplayName"), "Castmill");
    EXPECT_EQ(uninstall_value("UninstallString"), (dir_ / "Velora" / "uninstall.exe").string());
    EXPECT_EQ(uninstall_value("ProductID"), "e41c7a09-5b3d-4f2e-9c61-08d2a7b3f5e4");
    EXPECT_EQ(uninstall_value("DisplayIcon"),
              (install_dir_ / "VeloraBrowser" / "Browser" / "chrome.exe").string());
    EXPECT_EQ(uninstall_value("Publisher"), "Velora Project");
    EXPECT_EQ(uninstall_value("HelpLink"), "");
    EXPECT_EQ(uninstall_value("DisplayVersion"), "2.3.4");
}

TEST_F(DesktopIntegration, AMissingDesktopFolderSkipsOnlyTheDesktopShortcut) {
    fs::remove_all(desktop_);
    create_lnk_shortcut(install_dir_, "1.0.0");
    EXPECT_FALSE(fs::exists(desktop_));
    EXPECT_TRUE(fs::exists(programs_ / "Castmill" / "Castmill.desktop"));
    EXPECT_EQ(uninstall_value("DisplayVersion"), "1.0.0");
}

TEST_F(DesktopIntegration, FailuresAreSwallowed) {
    // A store that cannot be made: the shortcuts are still written.
    write_file(*sys::registry_root(), "not a folder");
    EXPECT_FALSE(add_uninstall_entry(install_dir_, "1.0.0"));
    create_lnk_shortcut(install_dir_, "1.0.0");
    EXPECT_TRUE(fs::exists(desktop_ / "Castmill.desktop"));
    EXPECT_TRUE(fs::exists(programs_ / "Castmill" / "Castmill.desktop"));
    fs::remove(*sys::registry_root());

    // A start-menu folder that cannot be made ends the step before the registry.
    fs::remove_all(programs_);
    write_file(programs_, "not a folder");
    create_lnk_shortcut(install_dir_, "1.0.0");
    EXPECT_FALSE(uninstall_value("DisplayName"));
    fs::remove(programs_);
}

TEST_F(DesktopIntegration, AProfileFolderWithABlankStaysOneArgument) {
    install_dir_ = dir_ / "My Apps" / "Castmill";
    fs::create_directories(install_dir_);
    create_lnk_shortcut(install_dir_, "1.0.0");
    const std::string text = read_file(desktop_ / "Castmill.desktop");
    EXPECT_NE(
        text.find("Exec=\"" + browser_executable(install_dir_).string() +
                  "\" \"--user-data-dir=" + (dir_ / "My Apps" / "Chromium").string() + "\"\n"),
        std::string::npos)
        << text;
}

TEST(RunInstallerFile, WaitsAndAddsTheExitCode) {
    TempDir dir;
    ScopedEnv env;
    env.set("CASTMILL_FAKE_ARGS", (dir / "args").string());
    std::string message;
    EXPECT_EQ(run_installer_file(fake_program(), true, true, message), 0);
    EXPECT_EQ(read_file(dir / "args"), "/S\n");

    env.set("CASTMILL_FAKE_EXIT", "2");
    EXPECT_EQ(run_installer_file(fake_program(), true, false, message), 100002);
    EXPECT_EQ(read_file(dir / "args"), "");
    EXPECT_EQ(message, "");

    // Not waiting: started is all that counts.
    EXPECT_EQ(run_installer_file(fake_program(), false, true, message), 0);
}

TEST(RunInstallerFile, AFailedStartGivesTheSystemCode) {
    TempDir dir;
    std::string message;
    EXPECT_EQ(run_installer_file(dir / "missing.exe", true, true, message), 2);
    EXPECT_EQ(message, "ShellExecuteEx error: 2");
}

TEST(StartCastmill, PassesTheProfileAsOneQuotedArgument) {
    TempDir dir;
    // Quotes and a blank in the folder name must reach the program unchanged.
    const fs::path install_dir = dir / "a \"b\" c" / "Castmill";
    const fs::path exe = browser_executable(install_dir);
    EXPECT_EQ(start_castmill(install_dir), 16);

    fs::create_directories(exe.parent_path());
    fs::copy_file(fake_program(), exe);
    ScopedEnv env;
    env.set("CASTMILL_FAKE_ARGS", (dir / "args").string());
    ASSERT_EQ(start_castmill(install_dir), 0);
    ASSERT_TRUE(castmill::test::wait_for_file(dir / "args"));
    EXPECT_EQ(read_file(dir / "args"),
              "--user-data-dir=" + (dir / "a \"b\" c" / "Chromium").string() + "\n");
}

TEST(StartCastmill, ReportsAFailedStartAndAnUnreadableFile) {
    TempDir dir;
    const fs::path install_dir = dir / "Castmill";
    write_file(browser_executable(install_dir), "not a program");
    EXPECT_EQ(start_castmill(install_dir), 100005);

    // A name longer than the system allows cannot even be checked.
    EXPECT_EQ(start_castmill(dir / std::string(300, 'x') / "Castmill"), 12);
}

}  // namespace
}  // namespace velora::st
