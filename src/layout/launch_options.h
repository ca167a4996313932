#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <variant>

// The command line of one install run: ';'-separated tokens such as
// "<installer path>;--install_dir=<folder>;--modules=3".
namespace velora::st {

struct LaunchOptions {
    std::filesystem::path install_dir;   // always ends in the folder Castmill
    std::filesystem::path setup_source;  // the first token, unchanged
    int modules = 0;                     // module flags; 0 selects the full package
    bool silent = false;                 // "--silent": no window, progress on standard output
    bool no_launch = false;              // "--no-launch": the application is not started
    // "--allow-downgrade": a signed release older than the installed version is taken.
    bool allow_downgrade = false;
};

// Tokens of the unattended run, for administrators and deployment tools.
inline constexpr std::string_view kSilentToken = "--silent";
inline constexpr std::string_view kNoLaunchToken = "--no-launch";
inline constexpr std::string_view kAllowDowngradeToken = "--allow-downgrade";

struct ParsedLaunch {
    LaunchOptions options;
    std::string command_line;  // the command line without its double quotes
};

// Start-up stops with this process exit code.
struct LaunchExit {
    int code;
};

using LaunchParse = std::variant<ParsedLaunch, LaunchExit>;

// Reads the command line (without the program name), creates the install directory
// and records it as the run's install directory. Logs each step.
LaunchParse parse_launch_options(std::string_view command_line);

// POSIX programs receive their arguments split: the command line is the arguments
// after the program name joined with single blanks.
std::string command_line_from_arguments(int argc, const char* const* argv);

}  // namespace velora::st
