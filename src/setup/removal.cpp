#include "setup/removal.h"

#include <algorithm>
#include <future>
#include <system_error>
#include <vector>

#include "base/logger.h"
#include "base/result_codes.h"
#include "layout/paths.h"
#include "net/thread_pool.h"
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

// Removes every path, several at once; failures are left to the careful pass.
void remove_each(ThreadPool& pool, const std::vector<fs::path>& paths) {
    constexpr size_t kBatch = 16;
    std::vector<std::future<void>> batches;
    for (size_t begin = 0; begin < paths.size(); begin += kBatch) {
        batches.push_back(pool.enqueue([&paths, begin] {
            for (size_t i = begin; i < std::min(begin + kBatch, paths.size()); ++i) {
                std::error_code ignored;
                fs::remove(paths[i], ignored);
            }
        }));
    }
    for (std::future<void>& batch : batches) batch.wait();
}

// Removing waits on the file system's journal far more than on the processor: several
// removals in flight overlap those waits. Files go first, then the folders deepest first;
// whatever stays (a held file) is left to the careful pass that follows.
void remove_tree_at_once(const fs::path& path) {
    std::vector<fs::path> files;
    std::vector<std::vector<fs::path>> folders_by_depth;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(path, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code type;
        const bool folder = it->symlink_status(type).type() == fs::file_type::directory;
        if (type) continue;
        if (!folder) {
            files.push_back(it->path());
            continue;
        }
        const size_t depth = static_cast<size_t>(it.depth());
        if (folders_by_depth.size() <= depth) folders_by_depth.resize(depth + 1);
        folders_by_depth[depth].push_back(it->path());
    }
    if (files.size() < 64) return;
    ThreadPool pool(8);
    remove_each(pool, files);
    for (auto level = folders_by_depth.rbegin(); level != folders_by_depth.rend(); ++level)
        remove_each(pool, *level);
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
        remove_tree_at_once(path);
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
