#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

// The state one run leaves for the next in the install directory's Update folder:
// "setup.data" (written here) and "config.json" (delivered with the application).
namespace velora::st {

// Update/setup.data and Update/config.json under an install directory.
std::filesystem::path setup_data_path(const std::filesystem::path& install_dir);
std::filesystem::path app_config_path(const std::filesystem::path& install_dir);

// The "sign" member of setup.data: MD5 (lowercase hex) of manifest_url, version and the salt.
std::string setup_data_sign(std::string_view manifest_url, std::string_view version);

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

// The installed application's version: the string "gver" of install_dir/Update/config.json.
// False when the file is missing, does not parse or lacks a string "gver"; version is cleared
// first. A failure to check the file's existence other than its absence throws
// std::filesystem::filesystem_error ("exists").
bool read_app_version(const std::filesystem::path& install_dir, std::string& version);

// The installed application's version for the report client, read once from the suite
// found around the current directory and kept for the process: "1.0.0" when there is no
// suite or no readable "gver". With cached_only, only what was read before (maybe empty).
// Callers use it from one thread at a time.
std::string app_version(bool cached_only);

}  // namespace velora::st
