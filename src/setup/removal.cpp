#include "setup/removal.h"

#include <system_error>
#include <vector>

#include "base/logger.h"
#include "base/result_codes.h"
#include "layout/paths.h"
#include "setup/install_files.h"
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

}  // namespace velora::st
