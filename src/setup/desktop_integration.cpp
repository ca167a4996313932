#include "setup/desktop_integration.h"

#include <system_error>

#include "base/logger.h"
#include "base/result_codes.h"
#include "base/utf8_path.h"
#include "layout/paths.h"
#include "sys/error_code.h"
#include "sys/folders.h"
#include "sys/registry.h"
#include "sys/shell.h"

namespace velora::st {

namespace fs = std::filesystem;

namespace {

constexpr auto kMachine = sys::RegistryHive::LocalMachine;

// The profile option of the shortcuts. A folder that would not reach the browser as
// one word (a blank in the user's folder) is quoted; any other stays as it is.
std::string shortcut_arguments(const fs::path& install_dir) {
    return "--user-data-dir=" + sys::param_word(sys::utf8_of(browser_profile_folder(install_dir)));
}

}  // namespace

void create_lnk_shortcut(const fs::path& install_dir, const std::string& version) {
    try {
        log_tagged(kLogInfo, "create_lnk_shortcut castmill");
        const fs::path target = browser_executable(install_dir);
        const std::string arguments = shortcut_arguments(install_dir);

        const fs::path desktop = sys::known_folder(sys::KnownFolder::CommonDesktop).value_or("");
        if (!desktop.empty())
            sys::create_shortcut(target, desktop / kShortcutName, arguments, "", fs::path());

        log_tagged(kLogInfo, "create start menu shortcut castmill");
        const fs::path programs = sys::known_folder(sys::KnownFolder::CommonPrograms).value_or("");
        if (!programs.empty()) {
            const fs::path folder = programs / kStartMenuFolder;
            fs::create_directories(folder);
            sys::create_shortcut(target, folder / kShortcutName, arguments, "", fs::path());
        }

        add_uninstall_entry(install_dir, version);
    } catch (const fs::filesystem_error& e) {
        log_tagged(kLogWarning, "finish_setup_castmill filesystem error: %d %s",
                   sys::system_code(e.code()), e.what());
    }
}

bool add_uninstall_entry(const fs::path& install_dir, const std::string& version) {
    log_tagged(kLogInfo, "add castmill regedit items");
    const std::string product_key = std::string(kSoftwareKey) + std::string(kProductKeyName);
    if (sys::registry_create_key(kMachine, product_key) != sys::kErrorSuccess) return false;
    sys::registry_set_string(kMachine, product_key, "", sys::utf8_of(install_dir.parent_path()));

    const std::string uninstall_key = std::string(kUninstallKey) + std::string(kProductKeyName);
    if (sys::registry_create_key(kMachine, uninstall_key) != sys::kErrorSuccess) return false;
    const std::pair<const char*, std::string> values[] = {
        {"DisplayName", std::string(kProductKeyName)},
        {"UninstallString", sys::utf8_of(uninstaller_path(install_dir))},
        {"ProductID", std::string(kProductId)},
        {"DisplayIcon", sys::utf8_of(browser_executable(install_dir))},
        {"Publisher", std::string(kPublisher)},
        {"HelpLink", std::string()},
        {"DisplayVersion", version},
    };
    for (const auto& [name, data] : values)
        sys::registry_set_string(kMachine, uninstall_key, name, data);
    return true;
}

int run_installer_file(const fs::path& file, bool wait, bool silent, std::string& message) {
    log_tagged(kLogInfo, "run cmd file: %s", file);
    sys::ShellStart started;
    const int error =
        sys::launch_elevated(file, silent ? "/S" : "", sys::ShowWindow::Normal, wait, &started);
    if (error != sys::kErrorSuccess) {
        log_tagged(kLogInfo, "install failed code: %d", error);
        message = "ShellExecuteEx error: " + std::to_string(error);
        return error;
    }
    if (!wait) return kSetupOk;
    if (!started.has_process) return kSetupNoProcessHandle;
    const uint32_t code = started.exit_code.value_or(0);
    // Unsigned sum: a large exit code wraps as the 32-bit result it is reported in.
    return code == 0 ? kSetupOk
                     : static_cast<int>(static_cast<uint32_t>(kSetupExitCodeBase) + code);
}

int start_castmill(const fs::path& install_dir) {
    try {
        const fs::path exe = browser_executable(install_dir);
        if (!fs::exists(exe)) {
            log_tagged(kLogWarning, "start exe file [%s] not exist", exe);
            return kSetupNoProcessHandle;
        }
        const std::string arguments = sys::param_word(
            "--user-data-dir=" + sys::utf8_of(browser_profile_folder(install_dir)), true);
        log_tagged(kLogInfo, "start exe file: %s", exe);
        const int error = sys::shell_execute(exe, arguments, sys::ShowWindow::Maximized, false);
        return error == sys::kErrorSuccess ? kSetupOk : kSetupExitCodeBase + error;
    } catch (const fs::filesystem_error& e) {
        log_tagged(kLogWarning, "start_castmill exception: %d %s", sys::system_code(e.code()),
                   e.what());
        return kSetupFileSystemError;
    }
}

}  // namespace velora::st
