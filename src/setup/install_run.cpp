#include <cstdio>
#include <system_error>

#include "app/modules.h"
#include "app/paths.h"
#include "report/logger.h"
#include "report/report_client.h"
#include "setup/desktop_integration.h"
#include "setup/removal.h"
#include "setup/setup_center.h"
#include "sys/error_code.h"
#include "sys/files.h"
#include "sys/processes.h"

namespace velora::st {

namespace fs = std::filesystem;

namespace {

std::string success_text(const std::string& version, int modules) {
    char text[256];
    std::snprintf(text, sizeof(text), "install[v:%s m:%d] success", version.c_str(), modules);
    return text;
}

}  // namespace

void SetupCenter::copy_setup_exe() {
    log_tagged(kLogInfo, "copy_setup_exe");
    // The platform's copy: std::filesystem's replacing copy refuses an existing target
    // under MinGW, which would keep the old installer after every later update.
    const fs::path target = update_folder(setup_dir) / "setup.exe";
    const int code = sys::copy_file(setup_source, target, true);
    if (code != sys::kErrorSuccess)
        log_tagged(kLogWarning, "copy_setup_exe error: %d %s -> %s", code, setup_source, target);
}

int SetupCenter::install(std::string& message) {
    log_tagged(kLogInfo, "start install");
    stage = 1;
    const bool module_mode = modules > 0;
    const bool with_app = !module_mode || (modules & ModuleApp) != 0;
    sys::kill_castmill(install_dir, true, with_app, timings.shutdown_grace);

    if (!with_app) {
        delete_dirs(install_dir, true, directories_of_modules(modules));
    } else if (prepare_delete_app(install_dir) != 0) {
        delete_dirs(install_dir, true, {});
    }

    stage = 2;
    log_tagged(kLogInfo, "start to call install exe");
    if (module_mode) {
        const int result = entire_mode == 1 ? _install_entire_mode_impl(message) : _install();
        // A held file ends the install with the programs holding it, for the in-use dialog.
        if (result == kSetupInUse && message.empty()) message = install_error;
        if (result != kSetupOk) {
            // The old tree can only come back when it was moved aside as a whole.
            if (with_app) _recover_app(install_dir);
            return result;
        }
        if (with_app) {
            delete_dirs(install_dir, false, {});
            create_lnk_shortcut(install_dir, version);
            copy_setup_exe();
            save_setup_data();
        }
        if (modules & ModuleObs) finish_obs_module_setup();
        std::error_code ec;
        if (!fs::exists(driver_folder(install_dir), ec))
            fs::create_directories(driver_folder(install_dir), ec);
        stage = 3;
        report(EventCode::kInstalled, success_text(version, modules));
        return kSetupOk;
    }

    const int result = run_installer_file(package_path, true, true, message);
    stage = 3;
    if (result != kSetupOk)
        _recover_app(install_dir);
    else
        delete_dirs(install_dir, false, {});
    std::error_code ec;
    if (!fs::remove(package_path, ec) || ec)
        log_tagged(kLogWarning, "clear setup file[%s] failed.", package_path);
    if (result == kSetupOk) report(EventCode::kFullInstalled, success_text(version, modules));
    return result;
}

}  // namespace velora::st
