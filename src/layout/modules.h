#pragma once

#include <array>
#include <set>
#include <span>
#include <string>
#include <string_view>

// The suite's modules: the flag bits of the command line and which parts of the
// install tree each of them owns.
namespace velora::st {

inline constexpr int ModuleApp = 1;  // browser shell, camera, tools, updater files, firmware
inline constexpr int ModuleObs = 2;  // the streaming-engine plug-in, its dist and driver folders
inline constexpr int ModuleConnect = 4;  // the Connect folder

// The media plugin's folder in the install directory; it also holds the application's
// archiver (7z) and report key (log-upload).
inline constexpr std::string_view kObsFolder = "VeloraOBS";

// Top-level install directories that a module's update removes first.
// Each list is sorted by byte comparison and free of duplicates.
struct ModuleDirectories {
    int flag;
    std::span<const std::string_view> names;
};

namespace modules_detail {
inline constexpr std::string_view kAppDirectories[] = {"Pcid",         "Update",    "VeloraBrowser",
                                                       "VeloraDriver", "VeloraOBS", "velora_cam"};
inline constexpr std::string_view kObsDirectories[] = {"VeloraDriver", "VeloraOBS", "dist"};
inline constexpr std::string_view kConnectDirectories[] = {"Connect"};
}  // namespace modules_detail

inline constexpr std::array<ModuleDirectories, 3> kModuleDirectories = {{
    {ModuleApp, modules_detail::kAppDirectories},
    {ModuleObs, modules_detail::kObsDirectories},
    {ModuleConnect, modules_detail::kConnectDirectories},
}};

// Which module a manifest file belongs to, by path prefix. The first match wins, so
// the two VeloraOBS sub-folders of the application precede VeloraOBS itself.
struct ModuleFileOwner {
    int flag;
    std::string_view prefix;
};

inline constexpr std::array<ModuleFileOwner, 15> kModuleFileOwners = {{
    {ModuleApp, "VeloraBrowser"},
    {ModuleApp, "velora_cam"},
    {ModuleApp, "VeloraTools"},
    {ModuleApp, "openport.bat"},
    {ModuleApp, "Pcid"},
    {ModuleApp, "Update"},
    {ModuleApp, "manifest.json"},
    {ModuleApp, "browser.ico"},
    {ModuleApp, "Firmware"},
    {ModuleApp, "VeloraOBS/7z"},
    {ModuleApp, "VeloraOBS/log-upload"},
    {ModuleObs, "VeloraOBS"},
    {ModuleObs, "dist"},
    {ModuleObs, "VeloraDriver"},
    {ModuleConnect, "Connect"},
}};

// The flag of the first owner whose prefix the manifest path begins with (plain,
// case-sensitive; the prefix need not end at a separator); 0 when none matches.
int module_of_path(std::string_view path);

// The union of the directory sets of the module bits set in flags; empty when none is.
std::set<std::string> directories_of_modules(int flags);

}  // namespace velora::st
