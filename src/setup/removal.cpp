#include "setup/removal.h"

#include <system_error>
#include <vector>

#include "app/paths.h"
#include "report/logger.h"
#include "setup/install_files.h"
#include "setup/setup_result.h"
#include "sys/error_code.h"

namespace velora::st {

namespace fs = std::filesystem;

namespace {

// Removes a directory whose removal failed as far as held files allow.
bool remove_held_entry(const fs::directory_entry& entry) {
    if (entry.symlink_status().type() == fs::file_type::directory)
        return remove_in_use_dir_away(entry.path());
    return remove_in_use_file_away(entry.path());
}

}  // namespace

fs::path DeleteTarget::operator()(const std::string& sub) const {
    if (!in_place) return old_installation_path(install_dir);
    return sub.empty() ? install_dir : install_dir / path_from_utf8(sub);
}

int prepare_delete_app(const fs::path& install_dir) {
    try {
        const fs::path old = old_installation_path(install_dir);
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(old, ec);
        if (ec && status.type() != fs::file_type::not_found)
            throw fs::filesystem_error("status", old, ec);
        // Left over from a run that ended between the rename and the deletion.
        if (fs::exists(status)) {
            std::error_code removal;
            fs::remove_all(old, removal);
            if (removal) remove_in_use_file_away(old);
        }
        fs::rename(install_dir, old);
        return kSetupOk;
    } catch (const fs::filesystem_error& e) {
        log_tagged(kLogWarning, "prepare_delete_app filesystem error: %d %s",
                   sys::system_code(e.code()), e.what());
        return kSetupFileSystemError;
    }
}

int _recover_app(const fs::path& install_dir) {
    const fs::path old = old_installation_path(install_dir);
    std::error_code ec;
    if (fs::is_directory(old, ec)) {
        // The failed install created install_dir; the old one can only go back once it is gone.
        std::error_code removal;
        fs::remove_all(install_dir, removal);
        if (removal) {
            log_tagged(kLogWarning, "_recover_app clear %s error: %d %s", utf8_of(install_dir),
                       sys::system_code(removal), removal.message());
            remove_in_use_dir_away(install_dir);
        }
    }
    fs::rename(old, install_dir, ec);
    if (ec)
        log_tagged(kLogWarning, "_recover_app filesystem error: %d %s", sys::system_code(ec),
                   ec.message());
    return kSetupOk;
}

int delete_castmill(const DeleteTarget& target, const std::string& sub) {
    const fs::path path = target(sub);
    log_tagged(kLogInfo, "remove castmill dir: %s", utf8_of(path));
    try {
        if (!fs::exists(path)) return kSetupOk;
        const std::vector<fs::directory_entry> entries(fs::directory_iterator(path), {});
        bool failed = false;
        for (const fs::directory_entry& entry : entries) {
            std::error_code ec;
            fs::remove_all(entry.path(), ec);
            if (!ec) continue;
            log_tagged(kLogWarning, "delete_castmill file:%s error: %d %s", utf8_of(entry.path()),
                       sys::system_code(ec), ec.message());
            if (!remove_held_entry(entry))
                log_tagged(kLogWarning, "_delete_app retry rename file failed");
            failed = true;
        }
        if (!failed) fs::remove_all(path);
    } catch (const fs::filesystem_error& e) {
        log_tagged(kLogWarning, "delete_castmill filesystem error: %d %s",
                   sys::system_code(e.code()), e.what());
    }
    return kSetupOk;
}

void delete_dirs(const fs::path& install_dir, bool in_place, const std::set<std::string>& subs) {
    const DeleteTarget target{install_dir, in_place};
    if (subs.empty()) {
        delete_castmill(target, "");
        return;
    }
    for (const std::string& sub : subs) delete_castmill(target, sub);
}

}  // namespace velora::st
