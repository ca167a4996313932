#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/utf8_path.h"
#include "setup/run_values.h"

namespace velora::st {

// How often a file that is mapped into a process is tried before the run fails.
inline constexpr int kMappedFileAttempts = 10;

// Manifest and archive names are UTF-8; so are paths in log lines and messages.
using sys::path_from_utf8;
using sys::utf8_of;

// Whether a held file may keep its old content: a few files that the suite's own
// helpers keep open, and debug symbols.
bool can_skip_in_use(const std::filesystem::path& path);

// "<name>.<six random characters>.deleteme" beside path.
std::filesystem::path moved_aside_name(const std::filesystem::path& path);

// Moves a held file aside under its moved-aside name and leaves an unheld copy at its
// name; the moved-aside file goes away as soon as the system allows. False when the
// file could not be moved or copied back (the file then stays as it was).
bool remove_in_use_file_away(const std::filesystem::path& path);

// Empties a directory as far as possible, moving held files aside. True when nothing
// in it is held any more.
bool remove_in_use_dir_away(const std::filesystem::path& dir);

struct InstallOutcome {
    int code = 0;
    const FileEntry* failed = nullptr;  // the entry the code belongs to
};

// Runs install_one over every entry of the lists, retrying a mapped file (1224) up to
// kMappedFileAttempts times, mapped_retry apart. Stops at the first other failure; a
// file that stayed mapped fails the outcome once the remaining files are installed. With
// more than one worker, entries are taken by that many threads at once (install_one must
// allow it) and a failure stops the others before their next entry.
InstallOutcome install_entries(const std::unordered_map<int, std::vector<FileEntry>>& lists,
                               const std::function<int(const FileEntry&)>& install_one,
                               std::chrono::milliseconds mapped_retry, unsigned workers = 1);

// Whether a file holds what the manifest entry names: its size, and its MD5 when the
// entry's hash is an MD5 digest.
bool content_matches(const std::filesystem::path& file, const FileEntry& entry);

// How a file reaches the staging tree (sys::place_file): moved when nothing needs the
// source afterwards (an extracted archive entry), linked when it must stay (a download
// that a failed run reuses).
enum class Placement { kMove, kLink };

// Places source at dest and checks what arrived against the entry; a file that does not
// match is removed from dest and gives kDownloadHashMismatch. Otherwise the system code.
// A file `checked` in this run (a download, an extracted entry), moved or linked unchanged
// since, is not read again.
int place_checked(const std::filesystem::path& source, const std::filesystem::path& dest,
                  const FileEntry& entry, Placement how, const CheckedDownloads* checked = nullptr);

// The message of the in-use dialog: the programs that hold `path`, one per line.
std::string in_use_message(const std::filesystem::path& path);

}  // namespace velora::st
