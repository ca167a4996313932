#include "setup/install_journal.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <system_error>

#include "base/cjson_object.h"
#include "base/crypto.h"
#include "base/logger.h"
#include "layout/paths.h"
#include "setup/install_files.h"
#include "setup/manifest_rules.h"
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
    if (!sys::is_present(dir)) return true;
    return fs::is_directory(dir, ec) && fs::is_empty(dir, ec) && !ec;
}

bool rename_logged(const fs::path& from, const fs::path& to) {
    const int code = sys::rename_path(from, to);
    if (code == sys::kErrorSuccess) return true;
    log_tagged(kLogWarning, "journal rename %s -> %s error: %d", utf8_of(from), utf8_of(to), code);
    return false;
}

bool flush_parent(const fs::path& install_dir) {
    const fs::path parent = without_trailing_separator(install_dir).parent_path();
    const int code = sys::flush_directory(parent);
    if (code == sys::kErrorSuccess) return true;
    log_tagged(kLogWarning, "recover: flush %s error: %d", utf8_of(parent), code);
    return false;
}

// Leftover names are siblings named after the install folder, nothing else.
bool is_leftover_name(const fs::path& install_dir, const std::string& name) {
    return is_sibling_name(name) &&
           name.starts_with(utf8_of(without_trailing_separator(install_dir).filename()) + ".");
}

std::vector<std::string> read_leftovers(const fs::path& install_dir) {
    std::vector<std::string> names;
    std::ifstream in(leftovers_path(install_dir), std::ios::binary);
    if (!in) return names;
    std::stringstream text;
    text << in.rdbuf();
    neb::CJsonObject json;
    if (!json.parse(text.str())) return names;
    neb::CJsonObject& list = json.child("leftovers");
    for (int i = 0; list.is_array() && i < list.array_size(); ++i) {
        std::string name;
        if (list.child(i).get("name", name) && is_leftover_name(install_dir, name))
            names.push_back(name);
    }
    return names;
}

void write_leftovers(const fs::path& install_dir, const std::vector<std::string>& names) {
    const fs::path file = leftovers_path(install_dir);
    try {
        if (names.empty()) {
            std::error_code ec;
            fs::remove(file, ec);
            return;
        }
        neb::CJsonObject list;
        for (const std::string& name : names) {
            neb::CJsonObject element;
            element.add("name", name);
            list.append(element);
        }
        neb::CJsonObject json;
        json.add("leftovers", list);
        if (!sys::write_file_replacing(file, json.to_text() + "\n"))
            log_tagged(kLogWarning, "recover: cannot write %s", utf8_of(file));
    } catch (const std::exception& e) {
        log_tagged(kLogWarning, "recover: write %s exception: %s", utf8_of(file), e.what());
    }
}

// Tries every listed leftover again; those that stay remain listed.
void remove_leftovers(const fs::path& install_dir) {
    const std::vector<std::string> names = read_leftovers(install_dir);
    if (names.empty()) return;
    const fs::path parent = without_trailing_separator(install_dir).parent_path();
    std::vector<std::string> kept;
    for (const std::string& name : names) {
        const fs::path dir = parent / path_from_utf8(name);
        if (sys::is_present(dir)) delete_castmill(DeleteTarget{dir, true}, "");
        if (sys::is_present(dir)) {
            log_tagged(kLogWarning, "recover: cannot remove %s yet", utf8_of(dir));
            kept.push_back(name);
        }
    }
    if (kept != names) write_leftovers(install_dir, kept);
}

// Removes a tree that the journal shows to be redundant. Listed first: what a held file
// keeps of it is tried again by every later start.
void discard_tree(const fs::path& install_dir, const fs::path& dir) {
    if (!sys::is_present(dir)) return;
    std::vector<std::string> names = read_leftovers(install_dir);
    const std::string name = utf8_of(dir.filename());
    if (std::find(names.begin(), names.end(), name) == names.end()) {
        names.push_back(name);
        write_leftovers(install_dir, names);
    }
    remove_leftovers(install_dir);
}

// Moves the tree at the install folder aside whole, to be discarded; never deletes it in
// place. False when it cannot be moved (a held file on Windows).
bool set_aside(const fs::path& install_dir) {
    const fs::path aside = free_sibling(install_dir, ".deleteme");
    std::vector<std::string> names = read_leftovers(install_dir);
    names.push_back(utf8_of(aside.filename()));
    // Listed before it moves, so that a crash in between leaves no unknown tree.
    write_leftovers(install_dir, names);
    if (!rename_logged(install_dir, aside)) return false;
    remove_leftovers(install_dir);
    return true;
}

// An empty folder (start-up makes the install folder) makes room without losing anything.
bool remove_if_empty(const fs::path& dir) {
    if (!sys::is_present(dir)) return true;
    std::error_code ec;
    return fs::remove(dir, ec) && !ec;
}

// Makes the install folder the old tree again; the new tree, wherever it is, goes. What
// stands at the install folder is moved aside whole; only a partial tree (the full
// installer's output) may be cleared in place when that is refused.
bool restore_old_tree(const fs::path& install_dir, const fs::path& old_tree,
                      const fs::path& new_tree, bool partial_in_place) {
    if (sys::is_present(old_tree)) {
        if (is_missing_or_empty(install_dir)) {
            if (!remove_if_empty(install_dir)) return false;
        } else if (!set_aside(install_dir)) {
            if (!partial_in_place) return false;
            delete_castmill(DeleteTarget{install_dir, true}, "");
            if (!remove_if_empty(install_dir)) {
                log_tagged(kLogWarning, "recover: cannot clear %s", utf8_of(install_dir));
                return false;
            }
        }
        if (!rename_logged(old_tree, install_dir)) return false;
        if (!flush_parent(install_dir)) return false;
    }
    discard_tree(install_dir, new_tree);
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
            // An exchange that happened is undone by the same exchange: the new tree goes
            // back to its own name, the old one is live again, both whole all along.
            if (!journal.new_id.empty() && sys::is_present(new_tree) &&
                sys::identity_of(install_dir) == journal.new_id) {
                const int code = sys::exchange_paths(new_tree, install_dir);
                if (code != sys::kErrorSuccess) {
                    log_tagged(kLogWarning, "recover: exchange back error: %d", code);
                    return false;
                }
                if (!flush_parent(install_dir)) return false;
            }
            // Not committed: the old tree comes back. Should the old tree be gone and the
            // new one be the only complete copy, that one is switched in instead.
            if (!sys::is_present(old_tree) && is_missing_or_empty(install_dir) &&
                sys::is_present(new_tree)) {
                if (!remove_if_empty(install_dir)) return false;
                return rename_logged(new_tree, install_dir) && flush_parent(install_dir);
            }
            if (restore_old_tree(install_dir, old_tree, new_tree, false)) return true;
            // Both renames happened and the complete new tree cannot be moved aside: it
            // stays, rather than being deleted to make room.
            if (sys::is_present(old_tree) && !sys::is_present(new_tree) &&
                !is_missing_or_empty(install_dir)) {
                log_tagged(kLogWarning, "recover: the new tree stays at %s", utf8_of(install_dir));
                discard_tree(install_dir, old_tree);
                return true;
            }
            return false;
        case JournalStep::kExternal:
            return restore_old_tree(install_dir, old_tree, new_tree, true);
        case JournalStep::kSwitched:
            if (sys::is_present(new_tree) && is_missing_or_empty(install_dir)) {
                if (!remove_if_empty(install_dir)) return false;
                if (!rename_logged(new_tree, install_dir) || !flush_parent(install_dir))
                    return false;
            }
            // The old tree goes only once a new one stands in its place.
            if (is_missing_or_empty(install_dir))
                return restore_old_tree(install_dir, old_tree, new_tree, false);
            discard_tree(install_dir, old_tree);
            return true;
        case JournalStep::kInPlace:
            if (!undo_in_place(install_dir, journal)) return false;
            discard_tree(install_dir, new_tree);
            return true;
        case JournalStep::kInPlaceDone:
            remove_backups(install_dir, journal);
            discard_tree(install_dir, new_tree);
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
        if (remove_if_empty(install_dir) && rename_logged(old_tree, install_dir))
            flush_parent(install_dir);
    }
    // A staging folder without a journal was never switched in: the live tree is whole.
    fs::path staging = without_trailing_separator(install_dir);
    staging += ".staging";
    discard_tree(install_dir, staging);
}

}  // namespace

fs::path leftovers_path(const fs::path& install_dir) {
    fs::path path = without_trailing_separator(install_dir);
    path += ".leftovers";
    return path;
}

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
        if (!journal.new_id.empty()) json.add("new_id", journal.new_id);
        neb::CJsonObject list;
        for (const ReplacedFile& file : journal.replaced) {
            neb::CJsonObject element;
            element.add("path", file.path);
            element.add("backup", file.backup);
            list.append(element);
        }
        json.add("replaced", list);
        const fs::path file = journal_path(install_dir);
        return sys::write_file_replacing(file, json.to_text() + "\n");
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
    json.get("new_id", journal.new_id);
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
    // Not durable, a journal that comes back after a power loss is settled again: harmless.
    if (const int code = sys::flush_directory(file.parent_path()))
        log_tagged(kLogWarning, "remove journal: flush %s error: %d", utf8_of(file.parent_path()),
                   code);
}

fs::path free_sibling(const fs::path& install_dir, const std::string& suffix) {
    const fs::path base = without_trailing_separator(install_dir);
    fs::path candidate = base;
    candidate += suffix;
    for (int i = 0; i < kFreeNameAttempts && sys::is_present(candidate); ++i) {
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
        if (!backup.empty() && !sys::is_present(backup)) continue;  // the original was never moved
        // Whatever the run put at the name goes; a held new file is moved aside first.
        if (sys::is_present(path) && !fs::remove(path, ec)) {
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
            remove_leftovers(install_dir);
            return;
        }
        recover_without_journal(install_dir);
        remove_leftovers(install_dir);
    } catch (const std::exception& e) {
        log_tagged(kLogWarning, "recover install exception: %s", e.what());
    }
}

}  // namespace velora::st
