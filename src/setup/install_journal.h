#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// The install journal: a small file beside the install folder that says which step of a
// switch between the old and the new tree was reached, so that a run that was killed or
// lost power can be finished or undone by the next start.
namespace velora::st {

enum class JournalStep {
    // The new tree is complete beside the live one; the folders are being renamed.
    kSwitching,
    // The new tree is in place; the old one may be removed.
    kSwitched,
    // Files are replaced one by one inside the live tree; `replaced` says how to undo it.
    kInPlace,
    // Every file of an in-place run is in; the moved-aside originals may be removed.
    kInPlaceDone,
    // The old tree was moved aside for the full installer, which writes the new one.
    kExternal,
};

// One file of an in-place run, both paths relative to the install folder ("/"-separated).
struct ReplacedFile {
    std::string path;
    std::string backup;  // where the original is moved aside; empty when there was none
};

struct InstallJournal {
    JournalStep step = JournalStep::kSwitching;
    std::string old_name;  // sibling folder that holds (or will hold) the old tree
    std::string new_name;  // sibling folder that holds the new tree until it is switched in
    std::vector<ReplacedFile> replaced;
    // The new tree's identity (sys::identity_of) when the switch exchanges the two folders
    // in one step: after a crash it tells whether the exchange happened.
    std::string new_id{};
};

// "<install folder>.journal", beside the install folder.
std::filesystem::path journal_path(const std::filesystem::path& install_dir);

// Written to a temporary name, flushed and renamed, so a crash leaves the old journal or
// the new one. False when it could not be written; the caller must not go on then.
bool write_journal(const std::filesystem::path& install_dir, const InstallJournal& journal);

// Empty when there is no journal or it cannot be read.
std::optional<InstallJournal> read_journal(const std::filesystem::path& install_dir);

void remove_journal(const std::filesystem::path& install_dir);

// A sibling of the install folder named "<name><suffix>" that does not exist yet; when that
// name is taken (an undeletable leftover), "<name>.<random><suffix>".
std::filesystem::path free_sibling(const std::filesystem::path& install_dir,
                                   const std::string& suffix);

// Puts every moved-aside original of an in-place run back and removes what the run added.
// True when every original is back.
bool undo_in_place(const std::filesystem::path& install_dir, const InstallJournal& journal);

// "<install folder>.leftovers", beside the install folder: sibling trees known to be
// redundant that could not be removed yet (a held file); every start tries again.
std::filesystem::path leftovers_path(const std::filesystem::path& install_dir);

// Run first by every start: finishes or undoes what a journal left behind, so that the
// install folder holds a complete tree again, and removes folders that the journal shows to
// be redundant. A complete tree is never deleted to make room: it is moved aside whole, and
// when even that is refused, a complete new tree stays. Without a journal, an old tree left
// by an interrupted run is renamed back only when the install folder is missing or empty.
// Never fails; problems are logged.
void recover_interrupted_install(const std::filesystem::path& install_dir);

}  // namespace velora::st
