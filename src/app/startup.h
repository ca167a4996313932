#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "layout/launch_options.h"

// The process frame: start-up in its fixed order, the single-instance guard, the
// elevated relaunch and the orderly exit.
namespace velora::st {

// Held by the installer that shows the window.
inline constexpr const char* kAdminMutexName = "VeloraCastmillSetupRunningAsAdminUser";
// Held by a non-elevated installer while its elevated copy runs.
inline constexpr const char* kNonAdminMutexName = "VeloraCastmillSetupRunningAsNonAdminUser";

// The exit pause that gives queued reports a head start before the client stops.
inline constexpr std::chrono::milliseconds kExitPause{5000};

// What start-up calls outside the process frame.
struct StartupSteps {
    // Runs the install: shows the installer window and runs its event loop, or runs it
    // unattended. Returns the run's exit code (0 done, 1 cancelled, 2 failed).
    std::function<int(const LaunchOptions&)> run_window;
    // Starts the elevated copy of this executable with the command line and waits for it;
    // its exit code when that could be read.
    std::function<std::optional<int>(const std::string& command_line)> relaunch_elevated;
    // Tells the person that an installer runs already (raises its window, or shows a
    // message for at most the given time); true when it did. Unset, or false (an
    // unattended run), the second installer says so on standard output.
    std::function<bool(const LaunchOptions&, std::chrono::milliseconds)> tell_already_running;
    // Whether this process runs the window itself (true) or relaunches elevated.
    bool elevated = true;
    std::chrono::milliseconds exit_pause = kExitPause;
};

// The steps of this process: the window of src/ui, the platform's elevated relaunch and
// privilege check, the production pause.
StartupSteps default_startup_steps(std::function<int(const LaunchOptions&)> run_window);

// The entry point's work: logs, starts the report client, reads the command line (without
// the program name), takes the single-instance mutex of this privilege level and runs the
// window or the elevated copy. Returns the process exit code.
int run_setup(std::string_view command_line, const StartupSteps& steps);

// The orderly exit: prints "report error: ..." for a message, logs "call exit", pauses,
// stops the report client (queued reports are still sent) and closes the log. The caller
// returns from the process.
void call_exit(const char* message, std::chrono::milliseconds pause = kExitPause);

// Starts this executable elevated with the command line, passing the roaming app-data folder
// as OBS_USER_APPDATA_PATH, and waits for it. Returns its exit code when that could be
// read; only an unattended run passes it on, as nobody watches its window.
std::optional<int> relaunch_elevated_and_wait(const std::string& command_line);

// The prefix of the hidden argument "--exit-pause-ms=N" that shortens the exit pause of a
// test run. It is a separate argument, never part of the ';'-separated command line.
inline constexpr std::string_view kExitPauseArgument = "--exit-pause-ms=";

// Splits the program arguments: the exit pause (kExitPause unless a valid hidden argument
// gives one) and the command line made of the remaining arguments.
struct ProgramArguments {
    std::string command_line;
    std::chrono::milliseconds exit_pause = kExitPause;
};
ProgramArguments read_program_arguments(int argc, const char* const* argv);
// The same from a command line kept whole (Windows): the hidden argument may lead it.
ProgramArguments read_command_line_tail(std::string_view tail);

}  // namespace velora::st
