#include "setup/install_journal.h"

#include <fstream>
#include <sstream>
#include <system_error>

#include "base/cjson_object.h"
#include "base/crypto.h"
#include "base/logger.h"
#include "layout/paths.h"
#include "setup/download_planning.h"
#include "setup/install_files.h"
#include "setup/removal.h"
#include "setup/setup_data.h"
#include "sys/error_code.h"
#include "sys/files.h"

namespace velora::st {

namespace fs = std::filesystem;

namespace {

constexpr int kFreeNameAttempts = 10;

const char* step_name(JournalStep step) {
    switch (step) {
        case JournalStep::kSwitching:
            return "switching";
        case JournalStep::kSwitched:
            return "switched";
        case JournalStep::kInPlace:
            return "in-place";
        case JournalStep::kInPlaceDone:
            return "in-place-done";
        case JournalStep::kExternal:
            return "external";
    }
    return "";
}

std::optional<JournalStep> step_of(const std::string& name) {
    for (JournalStep step : {JournalStep::kSwitching, JournalStep::kSwitched, JournalStep::kInPlace,
                             JournalStep::kInPlaceDone, JournalStep::kExternal}) {
        if (name == step_name(step)) return step;
    }
    return std::nullopt;
}

fs::path without_trailing_separator(const fs::path& dir) {
    return dir.has_filename() ? dir : dir.parent_path();
}

// Folder names in the journal are plain names of siblings, never paths.
bool is_sibling_name(const std::string& name) { return !name.empty() && is_plain_file_name(name); }

bool is_missing_or_empty(const fs::path& dir) {
    std::error_code ec;
    if (!is_present(dir)) return true;
    return fs::is_directory(dir, ec) && fs::is_empty(dir, ec) && !ec;
}

bool rename_logged(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (!ec) return true;
    log_tagged(kLogWarning, "journal rename %s -> %s error: %d %s", utf8_of(from), utf8_of(to),
               sys::system_code(ec), ec.message());
    return false;
}

// Removes a tree that the journal shows to be redundant; held files are moved aside.
bool remove_tree(const fs::path& dir) {
    if (!is_present(dir)) return true;
    delete_castmill(DeleteTarget{dir, true}, "");
    return !is_present(dir);
}

void flush_parent(const fs::path& install_dir) {
    sys::flush_directory(without_trailing_separator(install_dir).parent_path());
}

// Makes the install folder the old tree again; the new tree, wherever it is, goes.
bool restore_old_tree(const fs::path& install_dir, const fs::path& old_tree,
                      const fs::path& new_tree) {
    if (is_present(old_tree)) {
        // install_dir holds the new tree, a partial one, or the empty folder start-up made.
        if (is_present(install_dir) && !remove_tree(install_dir)) {
            log_tagged(kLogWarning, "recover: cannot clear %s", utf8_of(install_dir));
            return false;
        }
        if (!rename_logged(old_tree, install_dir)) return false;
        flush_parent(install_dir);
    }
    if (is_present(new_tree) && !remove_tree(new_tree))
        log_tagged(kLogWarning, "recover: cannot remove %s", utf8_of(new_tree));
    return true;
}

void remove_backups(const fs::path& install_dir, const InstallJournal& journal) {
    for (const ReplacedFile& file : journal.replaced) {
        if (file.backup.empty()) continue;
        const fs::path backup = install_dir / path_from_utf8(file.backup);
        std::error_code ec;
        if (!fs::remove(backup, ec) && ec) sys::delete_at_reboot(backup);
    }
}

bool recover_with(const fs::path& install_dir, const InstallJournal& journal) {
    const fs::path parent = without_trailing_separator(install_dir).parent_path();
    const fs::path old_tree = parent / path_from_utf8(journal.old_name);
    const fs::path new_tree = parent / path_from_utf8(journal.new_name);
    log_tagged(kLogInfo, "recover install: step %s old %s new %s", step_name(journal.step),
               journal.old_name, journal.new_name);
    switch (journal.step) {
        case JournalStep::kSwitching:
            // Not committed: the old tree comes back. Should the old tree be gone and the
            // new one be the only complete copy, that one is switched in instead.
            if (!is_present(old_tree) && is_missing_or_empty(install_dir) && is_present(new_tree)) {
                if (is_present(install_dir) && !remove_tree(install_dir)) return false;
                return rename_logged(new_tree, install_dir);
            }
            return restore_old_tree(install_dir, old_tree, new_tree);
        case JournalStep::kExternal:
            return restore_old_tree(install_dir, old_tree, new_tree);
        case JournalStep::kSwitched:
            if (is_present(new_tree) && is_missing_or_empty(install_dir)) {
                if (is_present(install_dir) && !remove_tree(install_dir)) return false;
                if (!rename_logged(new_tree, install_dir)) return false;
            }
            // The old tree goes only once a new one stands in its place.
            if (is_missing_or_empty(install_dir))
                return restore_old_tree(install_dir, old_tree, new_tree);
            if (!remove_tree(old_tree))
                log_tagged(kLogWarning, "recover: cannot remove %s", utf8_of(old_tree));
            return true;
        case JournalStep::kInPlace:
            if (!undo_in_place(install_dir, journal)) return false;
            remove_tree(new_tree);
            return true;
        case JournalStep::kInPlaceDone:
            remove_backups(install_dir, journal);
            remove_tree(new_tree);
            return true;
    }
    return false;
}

// Folders an older run of this installer may have left without a journal.
void recover_without_journal(const fs::path& install_dir) {
    const fs::path old_tree = old_installation_path(install_dir);
    std::error_code ec;
    if (fs::is_directory(old_tree, ec) && is_missing_or_empty(install_dir)) {
        log_tagged(kLogInfo, "recover install: the old tree %s goes back", utf8_of(old_tree));
        if (is_present(install_dir)) fs::remove(install_dir, ec);
        if (rename_logged(old_tree, install_dir)) flush_parent(install_dir);
    }
    // A staging folder without a journal was never switched in: the live tree is whole.
    fs::path staging = without_trailing_separator(install_dir);
    staging += ".staging";
    if (is_present(staging)) remove_tree(staging);
}

}  // namespace

fs::path journal_path(const fs::path& install_dir) {
    fs::path path = without_trailing_separator(install_dir);
    path += ".journal";
    return path;
}

bool write_journal(const fs::path& install_dir, const InstallJournal& journal) {
    try {
        neb::CJsonObject json;
        json.add("step", step_name(journal.step));
        json.add("old", journal.old_name);
        json.add("new", journal.new_name);
        neb::CJsonObject list;
        for (const ReplacedFile& file : journal.replaced) {
            neb::CJsonObject element;
            element.add("path", file.path);
            element.add("backup", file.backup);
            list.append(element);
        }
        json.add("replaced", list);
        const fs::path file = journal_path(install_dir);
        if (!write_file_replacing(file, json.to_text() + "\n")) return false;
        sys::flush_directory(file.parent_path());
        return true;
    } catch (const std::exception& e) {
        log_tagged(kLogWarning, "write_journal exception: %s", e.what());
        return false;
    }
}

std::optional<InstallJournal> read_journal(const fs::path& install_dir) {
    const fs::path file = journal_path(install_dir);
    std::error_code ec;
    if (!fs::exists(file, ec)) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    neb::CJsonObject json;
    InstallJournal journal;
    std::string step;
    if (!json.parse(text.str()) || !json.get("step", step) || !json.get("old", journal.old_name) ||
        !json.get("new", journal.new_name) || !step_of(step) ||
        !is_sibling_name(journal.old_name) || !is_sibling_name(journal.new_name)) {
        log_tagged(kLogWarning, "install journal %s unreadable", utf8_of(file));
        return std::nullopt;
    }
    journal.step = *step_of(step);
    neb::CJsonObject& list = json.child("replaced");
    for (int i = 0; list.is_array() && i < list.array_size(); ++i) {
        ReplacedFile replaced;
        neb::CJsonObject& element = list.child(i);
        if (!element.get("path", replaced.path) || !element.get("backup", replaced.backup))
            continue;
        // Only names inside the install folder are ever touched.
        if (!is_safe_manifest_path(replaced.path)) continue;
        if (!replaced.backup.empty() && !is_safe_manifest_path(replaced.backup)) continue;
        journal.replaced.push_back(std::move(replaced));
    }
    return journal;
}

void remove_journal(const fs::path& install_dir) {
    const fs::path file = journal_path(install_dir);
    std::error_code ec;
    fs::remove(file, ec);
    if (ec)
        log_tagged(kLogWarning, "remove journal %s error: %d", utf8_of(file), sys::system_code(ec));
    sys::flush_directory(file.parent_path());
}

fs::path free_sibling(const fs::path& install_dir, const std::string& suffix) {
    const fs::path base = without_trailing_separator(install_dir);
    fs::path candidate = base;
    candidate += suffix;
    for (int i = 0; i < kFreeNameAttempts && is_present(candidate); ++i) {
        candidate = base;
        candidate += "." + random_token(6) + suffix;
    }
    return candidate;
}

bool undo_in_place(const fs::path& install_dir, const InstallJournal& journal) {
    bool all_back = true;
    for (auto file = journal.replaced.rbegin(); file != journal.replaced.rend(); ++file) {
        const fs::path path = install_dir / path_from_utf8(file->path);
        const fs::path backup =
            file->backup.empty() ? fs::path() : install_dir / path_from_utf8(file->backup);
        std::error_code ec;
        if (!backup.empty() && !is_present(backup)) continue;  // the original was never moved
        // Whatever the run put at the name goes; a held new file is moved aside first.
        if (is_present(path) && !fs::remove(path, ec)) {
            const fs::path aside = moved_aside_name(path);
            if (sys::rename_no_replace(path, aside) == sys::kErrorSuccess)
                sys::delete_at_reboot(aside);
        }
        if (!backup.empty() && !rename_logged(backup, path)) all_back = false;
    }
    return all_back;
}

void recover_interrupted_install(const fs::path& install_dir) {
    try {
        if (const auto journal = read_journal(install_dir)) {
            if (recover_with(install_dir, *journal))
                remove_journal(install_dir);
            else
                log_tagged(kLogWarning, "recover install: journal kept for the next run");
            return;
        }
        recover_without_journal(install_dir);
    } catch (const std::exception& e) {
        log_tagged(kLogWarning, "recover install exception: %s", e.what());
    }
}

}  // namespace velora::st
