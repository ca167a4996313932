#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>
#include <vector>

#include "base/crypto.h"
#include "base/logger.h"
#include "base/result_codes.h"
#include "layout/modules.h"
#include "layout/paths.h"
#include "setup/desktop_integration.h"
#include "setup/download_planning.h"
#include "setup/install_files.h"
#include "setup/install_journal.h"
#include "setup/install_record.h"
#include "setup/release_trust.h"
#include "setup/removal.h"
#include "setup/setup_center.h"
#include "setup/setup_data.h"
#include "setup/setup_result.h"
#include "sys/error_code.h"
#include "sys/files.h"
#include "sys/folders.h"
#include "sys/processes.h"

namespace velora::st {

namespace fs = std::filesystem;

namespace {

std::string success_text(const std::string& version, int modules) {
    char text[256];
    std::snprintf(text, sizeof(text), "install[v:%s m:%d] success", version.c_str(), modules);
    return text;
}

std::string name_of(const fs::path& sibling) { return utf8_of(sibling.filename()); }

// Files an earlier run moved aside because a program held them: never carried along.
bool is_moved_aside(const fs::path& path) {
    const std::string name = utf8_of(path.filename());
    const std::string suffix = ".deleteme";
    return name.size() > suffix.size() && name.ends_with(suffix);
}

// Hard links cost nothing and leave the live tree as it is; a copy where links are refused.
int link_or_copy(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::create_hard_link(from, to, ec);
    if (!ec) return sys::kErrorSuccess;
    return sys::copy_file(from, to, false);
}

// Whether two files hold the same bytes; false when either cannot be read.
bool same_bytes(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    if (fs::equivalent(a, b, ec)) return true;
    const uintmax_t size = fs::file_size(a, ec);
    if (ec || fs::file_size(b, ec) != size || ec) return false;
    std::ifstream first(a, std::ios::binary);
    std::ifstream second(b, std::ios::binary);
    std::vector<char> x(1 << 20), y(1 << 20);
    while (first && second) {
        first.read(x.data(), static_cast<std::streamsize>(x.size()));
        second.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (first.gcount() != second.gcount() ||
            std::memcmp(x.data(), y.data(), static_cast<size_t>(first.gcount())) != 0)
            return false;
    }
    return first.eof() && second.eof();
}

// A flush that fails leaves the new files unsafe through a power loss: the run stops.
int flush_checked(const fs::path& dir, std::string& message) {
    const int code = sys::flush_tree(dir);
    if (code == sys::kErrorSuccess) return kSetupOk;
    log_tagged(kLogWarning, "flush %s failed: %d", utf8_of(dir), code);
    message = "cannot flush " + utf8_of(dir) + " to disk: error " + std::to_string(code);
    return kSetupFileSystemError;
}

// UTF-8 with "/" separators, as the journal keeps its paths.
std::string generic_utf8(const fs::path& path) {
    std::string text = utf8_of(path);
    for (char& c : text) {
        if (c == '\\') c = '/';
    }
    return text;
}

}  // namespace

int SetupCenter::make_staging_folder(std::string& message) {
    std::error_code ec;
    fs::create_directories(staging_dir_, ec);
    if (!ec) return kSetupOk;
    // The new tree is built beside the live one: a folder nobody may write to is the reason.
    const fs::path parent = staging_dir_.parent_path();
    log_tagged(kLogWarning, "make staging folder %s error: %d %s", utf8_of(staging_dir_),
               sys::system_code(ec), ec.message());
    message = "cannot write to the folder " + utf8_of(parent) + ": error " +
              std::to_string(sys::system_code(ec));
    return kSetupFileSystemError;
}

int SetupCenter::copy_setup_exe(std::string& message) {
    log_tagged(kLogInfo, "copy_setup_exe");
    // Into the new tree while the source still exists: the suite starts this installer
    // from Update, and that folder is replaced as a whole.
    const fs::path target = update_folder(staging_dir_) / "setup.exe";
    // A bare program name (started through PATH) names no file here: the running one.
    std::error_code ec;
    fs::path source = target_.setup_source;
    if (!fs::is_regular_file(source, ec)) source = sys::executable_path().value_or(source);
    // Never written through: a staged file may share its content with the live tree.
    fs::remove(target, ec);
    fs::create_directories(target.parent_path(), ec);
    // An unchanged installer (the one the suite started, or the same bytes) is linked
    // from the live tree instead of copied and flushed again.
    const fs::path live = update_folder(target_.install_dir) / "setup.exe";
    const bool unchanged = same_bytes(source, live);
    int code = unchanged ? link_or_copy(live, target) : sys::copy_file(source, target, true);
    // Checked like every staged file: a cut-off updater must never be switched in. A link
    // to the live file already compared equal is that file.
    const bool linked = unchanged && fs::equivalent(live, target, ec) && !ec;
    if (code == sys::kErrorSuccess && !linked && !same_bytes(source, target))
        code = kDownloadHashMismatch;
    if (code == sys::kErrorSuccess) return kSetupOk;
    log_tagged(kLogWarning, "copy_setup_exe error: %d %s -> %s", code, source, target);
    message = "cannot copy the installer to " + utf8_of(target) + ": error " + std::to_string(code);
    return kSetupFileSystemError;
}

int SetupCenter::carry_over_live_files(std::string& message) {
    std::error_code ec;
    if (!fs::is_directory(target_.install_dir, ec)) return kSetupOk;
    try {
        for (auto it = fs::recursive_directory_iterator(target_.install_dir);
             it != fs::recursive_directory_iterator(); ++it) {
            const fs::path& path = it->path();
            const std::string relative = generic_utf8(path.lexically_relative(target_.install_dir));
            const bool owned = (module_of_path(relative) & target_.modules) != 0;
            const fs::path target = staging_dir_ / path.lexically_relative(target_.install_dir);
            const fs::file_type type = it->symlink_status().type();
            if (type == fs::file_type::directory) {
                // Empty folders of other owners stay; the selected modules' come from the
                // manifest.
                if (!owned && fs::is_empty(path)) fs::create_directories(target);
                continue;
            }
            if (owned || is_moved_aside(path) || sys::is_present(target)) continue;
            fs::create_directories(target.parent_path());
            int code = sys::kErrorSuccess;
            if (type == fs::file_type::symlink)
                fs::copy_symlink(path, target);
            else
                code = link_or_copy(path, target);
            if (code != sys::kErrorSuccess) {
                log_tagged(kLogWarning, "carry over file: %s failed. code: %d", relative, code);
                message = "cannot carry " + relative + " over: error " + std::to_string(code);
                return code == sys::kErrorSharingViolation ? kSetupSharingViolation
                                                           : kSetupFileSystemError;
            }
        }
        return kSetupOk;
    } catch (const fs::filesystem_error& e) {
        log_tagged(kLogWarning, "carry over filesystem error: %d %s", sys::system_code(e.code()),
                   e.what());
        message = e.what();
        return kSetupFileSystemError;
    }
}

int SetupCenter::link_unchanged_files(std::string& message) {
    for (const auto& [module, entries] : plan_.install_lists) {
        for (const FileEntry& entry : entries) {
            if (!plan_.live_paths.count(entry.filePath)) continue;
            const fs::path relative = path_from_utf8(entry.filePath);
            const fs::path live = target_.install_dir / relative;
            const fs::path target = staging_dir_ / relative;
            std::error_code ec;
            fs::create_directories(target.parent_path(), ec);
            // Checked again: the suite may have changed it before it stopped.
            int code = holds_content(live, entry, install_record_) ? link_or_copy(live, target)
                                                                   : kDownloadHashMismatch;
            if (code != sys::kErrorSuccess) {
                log_tagged(kLogWarning, "link unchanged file: %s failed. code: %d", entry.filePath,
                           code);
                message = "file changed during the install: " + entry.filePath;
                return code == kDownloadHashMismatch ? code : kSetupFileSystemError;
            }
            placed_bytes_ += entry.fileSize;
        }
    }
    return kSetupOk;
}

int SetupCenter::write_staged_install_record(std::string& message) {
    InstallRecord record;
    for (const auto& [module, entries] : plan_.install_lists) {
        for (const FileEntry& entry : entries) {
            if (!is_md5_text(entry.hash)) continue;
            if (const auto file =
                    describe_file(staging_dir_ / path_from_utf8(entry.filePath), entry.hash))
                record[entry.filePath] = *file;
        }
    }
    // Carried files keep their entries while they are still what was recorded.
    for (const auto& [path, recorded] : install_record_) {
        if (record.count(path)) continue;
        const auto file = describe_file(staging_dir_ / path_from_utf8(path), recorded.hash);
        if (file && file->size == recorded.size && file->modified == recorded.modified)
            record[path] = recorded;
    }
    // A tree without an Update folder (a module-only run on a bare suite) keeps no record.
    std::error_code ec;
    if (!fs::is_directory(update_folder(staging_dir_), ec)) return kSetupOk;
    try {
        // The release this tree holds is the newest one taken from now on: it is checked not
        // to be older, or the command line asked for it.
        if (write_install_record(staging_dir_, record, release_.version()) &&
            (release_keys_.empty() ||
             write_accepted_release(staging_dir_, {release_.version(), release_.release_time()})))
            return kSetupOk;
    } catch (const fs::filesystem_error& e) {
        log_tagged(kLogWarning, "accepted release: %d %s", sys::system_code(e.code()), e.what());
    }
    log_tagged(kLogWarning, "install record not written");
    message = "cannot write the install record";
    return kSetupFileSystemError;
}

void SetupCenter::remove_spent_downloads() {
    // The release is installed: its downloads, those of earlier releases and extraction
    // folders of interrupted runs are needed by no later run.
    std::error_code ec;
    for (auto it = fs::directory_iterator(download_base(), ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code removal;
        fs::remove_all(it->path(), removal);
        if (removal)
            log_tagged(kLogWarning, "remove download dir %s error: %d", utf8_of(it->path()),
                       sys::system_code(removal));
    }
    if (const auto temp = sys::temp_directory()) {
        for (auto it = fs::directory_iterator(*temp, ec); !ec && it != fs::directory_iterator();
             it.increment(ec)) {
            if (!utf8_of(it->path().filename()).starts_with("vlstup-")) continue;
            std::error_code removal;
            fs::remove_all(it->path(), removal);
        }
    }
}

int SetupCenter::switch_in_staging_tree(std::string& message) {
    const fs::path old_tree = free_sibling(target_.install_dir, ".deleteme");
    InstallJournal journal{
        JournalStep::kSwitching, name_of(old_tree), name_of(staging_dir_), {}, {}};
    const bool live = sys::is_present(target_.install_dir);
    if (live) journal.new_id = sys::identity_of(staging_dir_);
    if (!write_journal(target_.install_dir, journal)) {
        message = "cannot write the install journal";
        return kSetupFileSystemError;
    }
    // One step where the platform has it: the install folder is never missing, not even
    // for the moment between two renames.
    int code =
        live ? sys::exchange_paths(staging_dir_, target_.install_dir) : sys::kErrorNotSupported;
    if (code == sys::kErrorSuccess) {
        // The old tree now has the staging folder's name.
        journal.old_name = name_of(staging_dir_);
        journal.new_name = name_of(old_tree);
    } else {
        if (code != sys::kErrorNotSupported)
            log_tagged(kLogWarning, "switch: exchange failed: %d, renaming", code);
        if (live) code = sys::rename_path(target_.install_dir, old_tree);
        if (code != sys::kErrorSuccess && live) {
            // Held files (a sharing violation on Windows), an immutable folder: the live
            // tree stays where it is and its files are replaced one by one.
            log_tagged(kLogWarning, "switch: rename %s failed: %d, replacing files in place",
                       utf8_of(target_.install_dir), code);
            return replace_files_in_place(message);
        }
        code = sys::rename_path(staging_dir_, target_.install_dir);
        if (code != sys::kErrorSuccess) {
            log_tagged(kLogWarning, "switch: rename %s failed: %d", utf8_of(staging_dir_), code);
            message = "cannot move the new installation into place: error " + std::to_string(code);
            recover_interrupted_install(target_.install_dir);
            return kSetupFileSystemError;
        }
    }
    // Not committed until the new names are on disk.
    code = sys::flush_directory(target_.install_dir.parent_path());
    if (code != sys::kErrorSuccess) {
        log_tagged(kLogWarning, "switch: flush %s failed: %d",
                   utf8_of(target_.install_dir.parent_path()), code);
        message = "cannot flush the switch to " + utf8_of(target_.install_dir) + ": error " +
                  std::to_string(code);
        recover_interrupted_install(target_.install_dir);
        return kSetupFileSystemError;
    }
    journal.step = JournalStep::kSwitched;
    if (!write_journal(target_.install_dir, journal)) {
        // A journal that still says "switching" would bring the old tree back: drop it and
        // leave the old tree where it is.
        log_tagged(kLogWarning, "switch: the old tree %s stays",
                   utf8_of(target_.install_dir.parent_path() / journal.old_name));
        remove_journal(target_.install_dir);
        return kSetupOk;
    }
    recover_interrupted_install(target_.install_dir);
    return kSetupOk;
}

int SetupCenter::replace_files_in_place(std::string& message) {
    InstallJournal journal{JournalStep::kInPlace,
                           name_of(free_sibling(target_.install_dir, ".deleteme")),
                           name_of(staging_dir_),
                           {},
                           {}};
    std::vector<bool> has_new;
    try {
        for (const auto& entry : fs::recursive_directory_iterator(staging_dir_)) {
            if (entry.symlink_status().type() == fs::file_type::directory) continue;
            const fs::path relative = entry.path().lexically_relative(staging_dir_);
            const fs::path live = target_.install_dir / relative;
            // Carried over by a link: already the live file itself.
            std::error_code same;
            if (sys::is_present(live) && fs::equivalent(entry.path(), live, same)) continue;
            const std::string backup =
                sys::is_present(live) ? generic_utf8(moved_aside_name(relative)) : std::string();
            journal.replaced.push_back({generic_utf8(relative), backup});
            has_new.push_back(true);
        }
        // Files of the selected modules that the new release no longer has.
        for (const auto& entry : fs::recursive_directory_iterator(target_.install_dir)) {
            if (entry.symlink_status().type() == fs::file_type::directory) continue;
            const fs::path relative = entry.path().lexically_relative(target_.install_dir);
            if (!(module_of_path(generic_utf8(relative)) & target_.modules)) continue;
            if (is_moved_aside(relative) || sys::is_present(staging_dir_ / relative)) continue;
            journal.replaced.push_back(
                {generic_utf8(relative), generic_utf8(moved_aside_name(relative))});
            has_new.push_back(false);
        }
    } catch (const fs::filesystem_error& e) {
        log_tagged(kLogWarning, "replace in place filesystem error: %d %s",
                   sys::system_code(e.code()), e.what());
        recover_interrupted_install(target_.install_dir);
        return kSetupFileSystemError;
    }
    if (!write_journal(target_.install_dir, journal)) {
        message = "cannot write the install journal";
        recover_interrupted_install(target_.install_dir);
        return kSetupFileSystemError;
    }

    int result = kSetupOk;
    for (size_t i = 0; i < journal.replaced.size() && result == kSetupOk; ++i) {
        const ReplacedFile& file = journal.replaced[i];
        const fs::path live = target_.install_dir / path_from_utf8(file.path);
        if (!file.backup.empty()) {
            const int code =
                sys::rename_no_replace(live, target_.install_dir / path_from_utf8(file.backup));
            if (code != sys::kErrorSuccess) {
                if (can_skip_in_use(live)) {
                    log_tagged(kLogWarning, "skip in use file: %s", utf8_of(live));
                    continue;
                }
                log_tagged(kLogInfo, "file: %s is still use", utf8_of(live));
                if (code == sys::kErrorSharingViolation || !sys::programs_holding({live}).empty()) {
                    message = in_use_message(live);
                    result = kSetupInUse;
                } else {
                    message = "cannot replace " + file.path + ": error " + std::to_string(code);
                    result = kSetupFileSystemError;
                }
                break;
            }
        }
        if (!has_new[i]) continue;
        const fs::path staged = staging_dir_ / path_from_utf8(file.path);
        std::error_code ec;
        fs::create_directories(live.parent_path(), ec);
        if (sys::rename_path(staged, live) != sys::kErrorSuccess) {
            const int code = sys::copy_file(staged, live, false);
            if (code != sys::kErrorSuccess) {
                log_tagged(kLogInfo, "file: %s install failed. code: %d", utf8_of(live), code);
                message = "cannot install " + file.path + ": error " + std::to_string(code);
                result = kSetupFileSystemError;
            }
        }
    }
    if (result != kSetupOk) {
        // Every original goes back to its name.
        recover_interrupted_install(target_.install_dir);
        return result;
    }
    // Every original comes back unless the new files are on disk.
    if (flush_checked(target_.install_dir, message) != kSetupOk) {
        recover_interrupted_install(target_.install_dir);
        return kSetupFileSystemError;
    }
    journal.step = JournalStep::kInPlaceDone;
    if (!write_journal(target_.install_dir, journal)) {
        remove_journal(target_.install_dir);
        return kSetupOk;
    }
    recover_interrupted_install(target_.install_dir);
    return kSetupOk;
}

int SetupCenter::install(std::string& message) {
    log_tagged(kLogInfo, "start install");
    stage_ = kInstallPreparing;
    // A switch left unfinished by an earlier attempt is settled before anything moves.
    recover_interrupted_install(target_.install_dir);
    if (sys::is_present(journal_path(target_.install_dir))) {
        message = "an earlier install could not be undone";
        return kSetupFileSystemError;
    }
    if (target_.modules <= 0) return install_full_package(message);

    const bool with_app = (target_.modules & ModuleApp) != 0;
    int64_t staging_total = 0;
    for (const auto& [module, entries] : plan_.install_lists)
        for (const FileEntry& entry : entries) staging_total += entry.fileSize;
    placed_bytes_ = 0;
    staging_total_bytes_ = staging_total;
    staging_dir_ = free_sibling(target_.install_dir, ".staging");
    stage_ = kInstallWritingFiles;
    log_tagged(kLogInfo, "start to call install exe");
    // Everything that can be prepared is prepared while the suite still runs; the live
    // tree is not touched until the new one is complete and checked.
    int result = make_staging_folder(message);
    if (result == kSetupOk)
        result = package_.replaces_files ? _install_entire_mode_impl(message) : _install();
    if (result == kSetupOk && with_app) result = copy_setup_exe(message);
    if (result == kSetupOk && with_app && save_setup_data(staging_dir_) != kSetupOk) {
        message = "cannot write " + utf8_of(setup_data_path(staging_dir_));
        result = kSetupFileSystemError;
    }
    if (result == kSetupOk) {
        sys::kill_castmill(target_.install_dir, true, with_app, timings_.shutdown_grace);
        result = link_unchanged_files(message);
    }
    if (result == kSetupOk) result = carry_over_live_files(message);
    if (result == kSetupOk) result = write_staged_install_record(message);
    if (result == kSetupOk) result = flush_checked(staging_dir_, message);
    if (result == kSetupOk) result = switch_in_staging_tree(message);
    if (result != kSetupOk) {
        if (sys::is_present(staging_dir_) && !sys::is_present(journal_path(target_.install_dir)))
            delete_castmill(DeleteTarget{staging_dir_, true}, "");
        return result;
    }
    if (with_app) create_lnk_shortcut(target_.install_dir, release_.version());
    if (target_.modules & ModuleObs) finish_obs_module_setup();
    std::error_code ec;
    if (!fs::exists(driver_folder(target_.install_dir), ec))
        fs::create_directories(driver_folder(target_.install_dir), ec);
    remove_spent_downloads();
    stage_ = kInstallFinished;
    send_event(EventCode::kInstalled, success_text(release_.version(), target_.modules));
    return kSetupOk;
}

int SetupCenter::install_full_package(std::string& message) {
    // The file may have changed on disk since it was checked: it runs only as signed.
    if (!package_.sha256.empty() && !has_sha256(package_.path, package_.sha256)) {
        message = "full installer does not match its signed sha256";
        return kSetupUntrustedRelease;
    }
    if (package_.sha256.empty() && !release_keys_.empty()) {
        message = "version info names no full installer";
        return kSetupUntrustedRelease;
    }
    sys::kill_castmill(target_.install_dir, true, true, timings_.shutdown_grace);
    const fs::path old_tree = free_sibling(target_.install_dir, ".deleteme");
    InstallJournal journal{JournalStep::kExternal,
                           name_of(old_tree),
                           name_of(free_sibling(target_.install_dir, ".staging")),
                           {},
                           {}};
    bool moved = false;
    if (write_journal(target_.install_dir, journal)) {
        const int code = sys::rename_path(target_.install_dir, old_tree);
        moved = code == sys::kErrorSuccess;
        if (!moved) {
            // The installer then writes over the live tree; nothing is deleted in place.
            log_tagged(kLogWarning, "prepare_delete_app filesystem error: %d %s", code,
                       utf8_of(target_.install_dir));
            remove_journal(target_.install_dir);
        }
    }

    stage_ = kInstallWritingFiles;
    log_tagged(kLogInfo, "start to call install exe");
    int result = run_installer_file(package_.path, true, true, message);
    stage_ = kInstallFinished;
    if (moved) {
        // The installer's tree counts once it is on disk; until then the old one comes back.
        if (result == kSetupOk) result = flush_checked(target_.install_dir, message);
        if (result == kSetupOk &&
            sys::flush_directory(target_.install_dir.parent_path()) != sys::kErrorSuccess) {
            message = "cannot flush " + utf8_of(target_.install_dir.parent_path());
            result = kSetupFileSystemError;
        }
        if (result == kSetupOk) {
            journal.step = JournalStep::kSwitched;
            if (!write_journal(target_.install_dir, journal)) remove_journal(target_.install_dir);
        }
        // Undoes (the old tree comes back) or finishes (the old tree goes) by the journal.
        recover_interrupted_install(target_.install_dir);
    }
    std::error_code ec;
    if (!fs::remove(package_.path, ec) || ec)
        log_tagged(kLogWarning, "clear setup file[%s] failed.", package_.path);
    if (result == kSetupOk)
        send_event(EventCode::kFullInstalled, success_text(release_.version(), target_.modules));
    return result;
}

}  // namespace velora::st
