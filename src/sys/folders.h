#pragma once

#include <filesystem>
#include <optional>

// Where the operating system keeps things. On POSIX everything lies under HOME and
// the XDG folders, so tests that point those at a temporary folder are isolated.
namespace velora::sys {

enum class KnownFolder {
    LocalAppData,    // per-user application data
    RoamingAppData,  // per-user settings that follow the user
    CommonDesktop,   // all users' desktop
    CommonPrograms,  // all users' start-menu programs
    CommonAppData,   // machine-wide application data
};

// The system temporary directory; nullopt when it cannot be obtained.
std::optional<std::filesystem::path> temp_directory();

// A known folder; nullopt when it cannot be obtained.
std::optional<std::filesystem::path> known_folder(KnownFolder folder);

// Full path of the running executable; nullopt when it cannot be read.
std::optional<std::filesystem::path> executable_path();

}  // namespace velora::sys
