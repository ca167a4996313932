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

// What an install's setup.data records: the manifest it came from and its version.
struct RecordedRelease {
    std::string manifest_url;
    std::string version;
};

// The release install_dir's setup.data records; nothing when the file is missing, does not
// parse, lacks a member or its sign does not check out.
std::optional<RecordedRelease> read_setup_data(const std::filesystem::path& install_dir);

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
