#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// Making an installed suite visible to the desktop: shortcuts, the uninstall entry, and
// the two programs the installer starts (the full installer and the application).
namespace velora::st {

// The keys of the uninstall entry, under the local-machine hive.
inline constexpr std::string_view kSoftwareKey = "SOFTWARE\\WOW6432Node\\";
inline constexpr std::string_view kUninstallKey =
    "SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
inline constexpr std::string_view kProductKeyName = "Castmill";
inline constexpr std::string_view kProductId = "e41c7a09-5b3d-4f2e-9c61-08d2a7b3f5e4";
inline constexpr std::string_view kPublisher = "Velora Project";
inline constexpr std::string_view kShortcutName = "Castmill.lnk";
inline constexpr std::string_view kStartMenuFolder = "Castmill";

// The desktop and start-menu shortcuts to the browser shell, then the uninstall entry.
// Never fails: what could not be written is only logged.
void create_lnk_shortcut(const std::filesystem::path& install_dir, const std::string& version);

// The uninstall entry and the suite's own key. False when a key could not be created.
bool add_uninstall_entry(const std::filesystem::path& install_dir, const std::string& version);

// Runs an installer program elevated, with "/S" when silent. 0 when it was started and
// not waited for, or ended with 0 (or an unreadable code); 100000 + its exit code
// otherwise; the system code when it could not be started (message set then); 16 when
// no process came back to wait for.
int run_installer_file(const std::filesystem::path& file, bool wait, bool silent,
                       std::string& message);

// Starts the installed application with its profile folder. 0 when started; 16 when the
// program is missing; 100000 + the system code when it could not be started; 12 when
// its file could not be checked.
int start_castmill(const std::filesystem::path& install_dir);

}  // namespace velora::st
