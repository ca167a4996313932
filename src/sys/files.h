#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "base/utf8_path.h"

// File operations whose outcome the installer decides on by system code.
namespace velora::sys {

// Copies `from` onto `to`, replacing an existing `to` when `overwrite` is set.
// Returns the system code of the failure, 0 on success. A running program's file
// reports the sharing violation (32).
int copy_file(const std::filesystem::path& from, const std::filesystem::path& to, bool overwrite);

// Renames `from` to `to` without replacing anything that exists at `to`. Returns the
// system code, 0 on success.
int rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to);

// Renames `from` to `to`; a file at `to` is replaced, a folder only when it is empty.
// Returns the system code, 0 on success.
int rename_path(const std::filesystem::path& from, const std::filesystem::path& to);

// Swaps two folders of one file system in one step (Linux: renameat2 with
// RENAME_EXCHANGE), so that neither name is ever missing. kErrorNotSupported where the
// platform or the file system has no such step (Windows); other codes as rename reports them.
int exchange_paths(const std::filesystem::path& a, const std::filesystem::path& b);

// What stays the same of a file or folder when it is renamed or linked (device and inode on
// POSIX), to tell after a crash which of two names a folder has, or that a name is the file
// checked before; empty where the platform cannot tell.
std::string identity_of(const std::filesystem::path& path);

// Lets a downloaded program be started: POSIX adds an execute bit wherever the file is
// readable; Windows starts programs by their name, so nothing changes there. Returns the
// system code, 0 on success.
int make_executable(const std::filesystem::path& file);

// Puts from's content at `to` (replacing what is there, never writing through it) as
// cheaply as the platform allows: POSIX moves the file, or hard-links it when keep_source
// is true, falling back to a copy across file systems; a program gets its execute bits
// as with copy_file. Windows copies, so that the file takes the permissions of its new
// folder: a moved or linked file keeps those of the (user's temporary) folder it was
// made in. Returns the system code, 0 on success.
int place_file(const std::filesystem::path& from, const std::filesystem::path& to,
               bool keep_source);

// Makes sure a file that programs may still hold goes away: Windows deletes it at the
// next restart; POSIX unlinks it now, its holders keep the inode until they close it.
bool delete_at_reboot(const std::filesystem::path& path);

// Makes a file's content durable (fsync, FlushFileBuffers) before a step that relies on
// it surviving a power loss. Returns the system code, 0 on success.
int flush_file(const std::filesystem::path& path);

// Makes every file below a folder durable: one syncfs of its file system on Linux,
// FlushFileBuffers of each file on Windows. Returns the first system code, 0 on success.
int flush_tree(const std::filesystem::path& dir);

// Makes the names in a folder durable after renames and new entries (POSIX fsyncs the
// folder; Windows has no such step and returns 0).
int flush_directory(const std::filesystem::path& dir);

// The file operations of the install run: the seam through which a test makes them fail
// as a full disk or a failing device would. Production never sets a fault.
enum class FileOperation { kWrite, kFlush, kRename };

struct InjectedFault {
    FileOperation operation = FileOperation::kWrite;
    std::string path_part;  // it hits paths whose UTF-8 text contains this
    std::errc error = std::errc::io_error;
    int64_t after_bytes = 0;  // a write lands this many bytes first
    int skip = 0;             // the first `skip` operations it hits still succeed
    bool whole_path = false;  // path_part is the whole path: a folder, not what lies in it
};

// Tests only: the fault stays until clear_injected_faults().
void inject_fault(InjectedFault fault);
void clear_injected_faults();

// The fault that hits this operation on `path`, if a test set one.
std::optional<InjectedFault> injected_fault(FileOperation operation,
                                            const std::filesystem::path& path);

// The system code of an injected fault.
int system_code_of(const InjectedFault& fault);

// The whole file, or nothing when it cannot be opened.
std::optional<std::string> read_whole_file(const std::filesystem::path& file);

// Where write_file_replacing stages its text: the target's name with ".tmp" appended.
std::filesystem::path staging_path_of(const std::filesystem::path& file);

// Writes text (text mode) to a staging file beside `file`, reads it back, flushes it and
// renames it over `file` (the folder's names flushed too), so that an interrupted write
// leaves the previous file whole. False, with nothing written, when the staging file
// cannot be opened (for instance when the folder is missing). A failed write, read-back,
// flush or rename removes the staging file and throws std::filesystem::filesystem_error.
bool write_file_replacing(const std::filesystem::path& file, const std::string& text);

// Whether anything, a dangling link included, stands at path; errors count as absent.
bool is_present(const std::filesystem::path& path);

}  // namespace velora::sys
