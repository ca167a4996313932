#include <gtest/gtest.h>

#include "base/wide_text_win.h"
#include "layout/paths.h"
#include "setup/desktop_integration.h"
#include "support/shell_link_win.h"
#include "support/test_env.h"
#include "sys/folders.h"
#include "sys/registry.h"

namespace velora::st {
namespace {

namespace fs = std::filesystem;
using castmill::test::read_shell_link;
using castmill::test::TempDir;
using sys::RegistryHive;

const std::string kUninstall = std::string(kUninstallKey) + "Castmill";
const std::string kProduct = std::string(kSoftwareKey) + "Castmill";

std::optional<std::string> uninstall_value(const std::string& name) {
    return sys::registry_get_string(RegistryHive::LocalMachine, kUninstall, name);
}

TEST(DesktopIntegrationOnWindows, ShellLinksStartTheBrowserWithItsProfile) {
    TempDir dir;
    // A blank in the folder: the profile option must reach the browser as one word.
    const fs::path install_dir = dir / "Velora Apps" / "Castmill";
    fs::create_directories(install_dir);
    const fs::path desktop_link =
        *sys::known_folder(sys::KnownFolder::CommonDesktop) / "Castmill.lnk";
    const fs::path menu_link =
        *sys::known_folder(sys::KnownFolder::CommonPrograms) / "Castmill" / "Castmill.lnk";
    fs::remove(desktop_link);
    fs::remove(menu_link);

    create_lnk_shortcut(install_dir, "2.3.4");

    for (const fs::path& link : {desktop_link, menu_link}) {
        const castmill::test::ShellLinkFields fields = read_shell_link(link);
        EXPECT_EQ(fs::path(fields.path), browser_executable(install_dir)) << link;
        EXPECT_EQ(sys::narrow(fields.arguments),
                  "--user-data-dir=\"" + (dir / "Velora Apps" / "Chromium").string() + "\"")
            << link;
    }

    EXPECT_EQ(sys::registry_get_string(RegistryHive::LocalMachine, kProduct, ""),
              (dir / "Velora Apps").string());
    EXPECT_EQ(uninstall_value("DisplayName"), "Castmill");
    EXPECT_EQ(uninstall_value("UninstallString"), (dir / "Velora Apps" / "uninstall.exe").string());
    EXPECT_EQ(uninstall_value("DisplayIcon"), browser_executable(install_dir).string());
    EXPECT_EQ(uninstall_value("Publisher"), "Velora Project");
    EXPECT_EQ(uninstall_value("HelpLink"), "");
    EXPECT_EQ(uninstall_value("DisplayVersion"), "2.3.4");
}

}  // namespace
}  // namespace velora::st
