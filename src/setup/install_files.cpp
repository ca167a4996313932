#include "setup/install_files.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "base/crypto.h"
#include "base/logger.h"
#include "base/result_codes.h"
#include "layout/modules.h"
#include "setup/release_trust.h"
#include "setup/setup_center.h"
#include "sys/error_code.h"
#include "sys/files.h"
#include "sys/processes.h"

namespace velora::st {

namespace fs = std::filesystem;

bool can_skip_in_use(const fs::path& path) {
    static const std::set<std::string> names = {"obs-virtualcam-module64.dll", "dongle_kx7_ota.gbl",
                                                "firmware_501.zip", "firmware_502.zip"};
    static const std::set<std::string> extensions = {".pdb"};
    const std::string name = utf8_of(path.filename());
    if (names.count(name)) return true;
    if (name == "." || name == "..") return false;
    const size_t dot = name.rfind('.');
    return dot != std::string::npos && extensions.count(name.substr(dot)) > 0;
}

fs::path moved_aside_name(const fs::path& path) {
    fs::path target = path;
    target += "." + random_token(6) + ".deleteme";
    return target;
}

bool remove_in_use_file_away(const fs::path& path) {
    try {
        const fs::path target = moved_aside_name(path);
        std::error_code ignored;
        fs::remove(target, ignored);
        // Renaming works on a file that is open or runs as a program; replacing it does not.
        if (sys::rename_no_replace(path, target) != sys::kErrorSuccess) return false;
        if (sys::copy_file(target, path, false) != sys::kErrorSuccess) {
            // A copy that broke off (disk full) must not block the way back.
            fs::remove(path, ignored);
            sys::rename_no_replace(target, path);
            return false;
        }
        sys::delete_at_reboot(target);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool remove_in_use_dir_away(const fs::path& dir) {
    try {
        if (!fs::exists(dir)) return true;
        // Listed first: moving files aside adds entries to the directory.
        std::vector<fs::directory_entry> entries(fs::directory_iterator(dir), {});
        bool result = true;
        for (const fs::directory_entry& entry : entries) {
            const bool is_dir = entry.symlink_status().type() == fs::file_type::directory;
            std::error_code ec;
            fs::remove_all(entry.path(), ec);
            if (!ec) continue;
            bool ok = false;
            if (is_dir) {
                ok = remove_in_use_dir_away(entry.path());
                log_tagged(kLogWarning, "remove_in_use_dir_away dir: %s", utf8_of(entry.path()));
            } else {
                ok = remove_in_use_file_away(entry.path());
                log_tagged(kLogWarning, "remove_in_use_file_away dir: %s", utf8_of(entry.path()));
            }
            result = result && ok;
        }
        return result;
    } catch (const fs::filesystem_error& e) {
        log_tagged(kLogWarning, "remove_in_use_dir_away filesystem error: %d %s",
                   sys::system_code(e.code()), e.what());
        return false;
    }
}

InstallOutcome install_entries(const std::unordered_map<int, std::vector<FileEntry>>& lists,
                               const std::function<int(const FileEntry&)>& install_one,
                               std::chrono::milliseconds mapped_retry, unsigned workers) {
    std::vector<const FileEntry*> entries;
    for (const auto& [module, list] : lists)
        for (const FileEntry& entry : list) entries.push_back(&entry);
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex outcome_lock;
    InstallOutcome outcome;
    const auto work = [&] {
        for (size_t i = 0; !stop && (i = next++) < entries.size();) {
            const FileEntry& entry = *entries[i];
            int result = sys::kErrorSuccess;
            for (int attempt = 1; attempt <= kMappedFileAttempts; ++attempt) {
                result = install_one(entry);
                if (result != sys::kErrorUserMappedFile) break;
                if (attempt < kMappedFileAttempts) std::this_thread::sleep_for(mapped_retry);
            }
            if (result == sys::kErrorSuccess) continue;
            log_tagged(kLogInfo, "install file: %s failed. code: %d", entry.filePath, result);
            std::lock_guard lock(outcome_lock);
            // A file that stayed mapped keeps its old content: the run must not succeed,
            // but the remaining files still go in.
            if (result != sys::kErrorUserMappedFile) {
                if (!stop) outcome = {result, &entry};
                stop = true;
            } else if (outcome.code == sys::kErrorSuccess) {
                outcome = {result, &entry};
            }
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned w = 1; w < workers && w < entries.size(); ++w) helpers.emplace_back(work);
    work();
    for (std::thread& helper : helpers) helper.join();
    return outcome;
}

std::string in_use_message(const fs::path& path) {
    std::set<std::string> seen;
    std::string message;
    for (const sys::HoldingProgram& program : sys::programs_holding({path})) {
        if (seen.insert(program.name).second) message += program.name + "\n";
    }
    // The holder may have ended meanwhile; the dialog still needs something to show.
    if (message.empty()) message = utf8_of(path.filename()) + "\n";
    return message;
}

int SetupCenter::_install() {
    log_tagged(kLogInfo, "install package files");
    if (staging_dir_.empty()) {
        log_tagged(kLogWarning, "SetupCenter::_install no staging folder");
        return kSetupFileSystemError;
    }
    for (const std::string& name : directories_of_modules(target_.modules)) {
        std::error_code ec;
        fs::create_directories(staging_dir_ / path_from_utf8(name), ec);
        if (ec) {
            log_tagged(kLogWarning, "SetupCenter::_install create_directories error: %d %s",
                       sys::system_code(ec), ec.message());
            return kSetupFileSystemError;
        }
    }
    // Into the staging tree, which nothing else uses: each file is checked as it is placed,
    // and the checks of several files run at once.
    const InstallOutcome outcome = install_entries(
        plan_.install_lists, [this](const FileEntry& entry) { return _install_file(entry); },
        timings_.mapped_file_retry, std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
    return outcome.code;
}

int SetupCenter::_install_file(const FileEntry& entry) {
    // Unchanged in the live tree: linked once the suite has stopped.
    if (plan_.live_paths.count(entry.filePath)) return kSetupOk;
    try {
        const bool from_archive = package_.replaces_files;
        const fs::path relative = path_from_utf8(entry.filePath);
        const fs::path source =
            from_archive ? extract_dir_ / relative : download_dir_ / path_from_utf8(entry.hash);
        const fs::path dest = staging_dir_ / relative;
        fs::create_directories(dest.parent_path());
        const int code = place_checked(
            source, dest, entry, from_archive ? Placement::kMove : Placement::kLink, &checked_);
        if (code == kDownloadHashMismatch && !from_archive) forget_download(entry);
        if (code != sys::kErrorSuccess)
            log_tagged(kLogInfo, "file: %s install failed. code: %d", utf8_of(dest), code);
        else
            placed_bytes_ += entry.fileSize;
        return code;
    } catch (const fs::filesystem_error& e) {
        log_tagged(kLogWarning, "SetupCenter::_install_file file:%s error: %d %s", entry.filePath,
                   sys::system_code(e.code()), e.what());
        return kSetupFileSystemError;
    }
}

bool content_matches(const fs::path& file, const FileEntry& entry) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(file, ec);
    if (ec || static_cast<int64_t>(size) != entry.fileSize) return false;
    std::string mismatch;
    if (content_matches(file, entry, mismatch)) return true;
    log_tagged(kLogWarning, "file: %s, %s", utf8_of(file), mismatch);
    return false;
}

int place_checked(const fs::path& source, const fs::path& dest, const FileEntry& entry,
                  Placement how, const CheckedDownloads* checked) {
    const int code = sys::place_file(source, dest, how == Placement::kLink);
    if (code != sys::kErrorSuccess) return code;
    if (checked && checked->holds(entry.hash, dest)) return sys::kErrorSuccess;
    // The staged bytes themselves are checked: a cached file may have changed since it was
    // downloaded, and an archive entry is only as good as its archive.
    if (content_matches(dest, entry)) return sys::kErrorSuccess;
    log_tagged(kLogWarning, "file: %s does not match the manifest (size %lld, hash %s)",
               entry.filePath, static_cast<long long>(entry.fileSize), entry.hash);
    std::error_code ignored;
    fs::remove(dest, ignored);
    return kDownloadHashMismatch;
}

void SetupCenter::forget_download(const FileEntry& entry) {
    // Files are placed by several threads; the record is rewritten by one at a time.
    std::lock_guard lock(record_lock_);
    std::error_code ignored;
    fs::remove(download_dir_ / path_from_utf8(entry.hash), ignored);
    downloaded_.forget_content(entry.hash);
    downloaded_.save(download_dir_);
}

}  // namespace velora::st
