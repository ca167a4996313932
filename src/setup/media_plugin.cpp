#include "setup/media_plugin.h"

#include <system_error>

#include "base/logger.h"
#include "layout/modules.h"
#include "setup/setup_center.h"
#include "sys/error_code.h"
#include "sys/files.h"
#include "sys/folders.h"
#include "sys/registry.h"
#include "sys/shell.h"

namespace velora::st {

namespace fs = std::filesystem;

namespace {

// Held files can keep a folder from going away; give up after this many rounds.
constexpr int kSettingsResetAttempts = 10;

bool exists_or_throw(const fs::path& path) {
    std::error_code ec;
    const bool found = fs::exists(path, ec);
    if (ec) throw fs::filesystem_error("exists", path, ec);
    return found;
}

// Deletes every entry of the folder: folders with all they hold, files one by one.
// What cannot be deleted stays; the caller sees it when it removes the folder.
void delete_contents(const fs::path& folder) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code removal;
        if (it->is_directory(removal) && !it->is_symlink(removal))
            fs::remove_all(it->path(), removal);
        else
            fs::remove(it->path(), removal);
    }
}

// Whether a folder that could not be deleted still has entries to clear. MinGW's
// std::filesystem reports a folder that is not empty as access denied (5), not 145: its
// last attempt deletes the folder as a file.
bool holds_entries(const fs::path& folder, int code) {
    if (code == sys::kErrorDirNotEmpty) return true;
    std::error_code ec;
    return code == sys::kErrorAccessDenied && !fs::is_empty(folder, ec) && !ec;
}

// The media plug-in's per-user settings start over empty.
void reset_settings_folder(const fs::path& folder) {
    std::error_code ec;
    fs::remove(folder, ec);
    if (holds_entries(folder, sys::system_code(ec))) {
        for (int attempt = 0; attempt < kSettingsResetAttempts; ++attempt) {
            delete_contents(folder);
            fs::remove(folder, ec);
            const int code = sys::system_code(ec);
            if (code != sys::kErrorDirNotEmpty && code != sys::kErrorAccessDenied) break;
        }
    }
    fs::create_directories(folder, ec);
}

}  // namespace

fs::path obs_folder(const fs::path& install_dir) { return install_dir / kObsFolder; }

fs::path hook_source_folder(const fs::path& install_dir) {
    return obs_folder(install_dir) / "data" / "obs-plugins" / "win-capture";
}

fs::path virtual_camera_server(const fs::path& install_dir) {
    return obs_folder(install_dir) / "data" / "obs-plugins" / "win-dshow" /
           "obs-virtualcam-module64.dll";
}

void SetupCenter::finish_obs_module_setup() {
    try {
        const auto common = sys::known_folder(sys::KnownFolder::CommonAppData);
        if (!common)
            log_tagged(kLogWarning, "finish_obs_module_setup get common appdata path failed");
        const auto roaming = sys::known_folder(sys::KnownFolder::RoamingAppData);
        if (!roaming) log_tagged(kLogWarning, "finish_obs_module_setup get appdata path failed");

        if (roaming) reset_settings_folder(*roaming / kObsSettingsFolder);

        if (common) {
            const fs::path target = *common / kHookTargetFolder;
            std::error_code ec;
            fs::create_directories(target, ec);
            bool all_there = true;
            for (const std::string_view name : kHookFiles) {
                // A missing source leaves the copy out; the check below sees it. The
                // platform's copy replaces an older hook, which std::filesystem's does
                // not under MinGW.
                sys::copy_file(hook_source_folder(target_.install_dir) / name, target / name, true);
                if (!exists_or_throw(target / name)) all_there = false;
            }
            if (all_there && sys::register_vulkan_implicit_layer(target / kVulkanLayerManifest) !=
                                 sys::kErrorSuccess)
                return;
        }

        const fs::path camera = virtual_camera_server(target_.install_dir);
        if (exists_or_throw(camera)) {
            const int code = sys::register_com_server(camera, kVirtualCameraWait);
            if (code != sys::kErrorSuccess)
                log_tagged(kLogWarning, "install virtual cam code: %d", code);
        }
    } catch (const fs::filesystem_error& e) {
        log_tagged(kLogWarning, "finish_obs_module_setup filesystem_error: %d %s",
                   sys::system_code(e.code()), e.what());
    }
}

}  // namespace velora::st
