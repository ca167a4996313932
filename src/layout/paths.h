#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// The fixed layout: where the installer logs and downloads, where the suite is
// installed and where its parts lie.
namespace velora::st {

// Prefix of the installer's log files.
inline constexpr std::string_view kLogPrefix = "setup";

// The log root: the system temporary directory joined with "castmill", or the current
// directory when there is no temporary directory. Throws std::filesystem::filesystem_error
// ("current_path()") when the current directory cannot be read either.
std::filesystem::path work_directory();

// work_directory() joined with "log".
std::filesystem::path log_directory();

// Folders and files relative to an install directory.
std::filesystem::path update_folder(const std::filesystem::path& install_dir);
// The install directory's own name with ".deleteme" appended, in the same parent.
std::filesystem::path old_installation_path(const std::filesystem::path& install_dir);
std::filesystem::path driver_folder(const std::filesystem::path& install_dir);
std::filesystem::path browser_executable(const std::filesystem::path& install_dir);
// These two sit beside the install directory, in its parent.
std::filesystem::path browser_profile_folder(const std::filesystem::path& install_dir);
std::filesystem::path uninstaller_path(const std::filesystem::path& install_dir);

// The address of the suite's full installer package on the file store.
std::string full_package_address();

// Where downloads are kept: the temporary directory joined with "castmill" and "installer".
std::filesystem::path download_base();

// The folder of the running executable; empty when its path cannot be read.
std::filesystem::path executable_directory();
// The "Resources" folder (icon, images, fonts, locale files) of the running executable:
// installer_resources_dir(executable_directory()).
std::filesystem::path installer_resources_dir();
// The "Resources" folder beside exe_dir when it is a folder; else the installed one
// (exe_dir/../share/castmill-setup/Resources with the default install folders) when that
// is a folder; else the one beside exe_dir.
std::filesystem::path installer_resources_dir(const std::filesystem::path& exe_dir);
// The key file's fallback folder inside the suite: VeloraOBS/log-upload under the suite
// root in its relative form; empty when no suite root is found.
std::filesystem::path report_key_fallback_dir();
// The suite's archiver, which packs folders for upload: VeloraOBS/7z/7z.exe under the
// suite root in its relative form.
std::filesystem::path suite_archiver();

// The installed suite's root: the nearest folder, from the current directory up, holding
// the folders velora_cam and VeloraBrowser. A folder named up to "Castmill" in the current
// path is tried first. Empty when there is none; a found root is kept for the process.
std::filesystem::path suite_root();

// The root lookup itself, from a given start folder, without the process-wide cache.
std::filesystem::path find_suite_root(const std::filesystem::path& start);

// suite_root() as seen from the current directory: "./" when it is the current directory,
// one "../" per level when the current directory lies below it, else the absolute root.
std::filesystem::path suite_root_relative();

// The relative form of root seen from current; empty when root is empty.
std::filesystem::path relative_root_form(const std::filesystem::path& root,
                                         const std::filesystem::path& current);

}  // namespace velora::st
