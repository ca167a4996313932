#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// Finding, closing and stopping the suite's running programs, naming the programs
// that hold files, and running command lines. The portable steps live in
// processes.cpp; each platform supplies the primitives below.
namespace velora::sys {

using ProcessId = std::uint32_t;

struct ProcessInfo {
    ProcessId pid = 0;
    std::filesystem::path image;  // full path of the program file
};

// A program that holds one of the files asked about.
struct HoldingProgram {
    ProcessId pid = 0;
    std::string name;             // the program file's name, for messages
    std::filesystem::path image;  // empty when it cannot be read
};

// How long the suite's programs get to close before they are terminated.
inline constexpr std::chrono::milliseconds kShutdownGrace{5000};

// Exit code reported for a program that is still running (the caller did not wait).
inline constexpr std::uint32_t kStillActive = 259;

// Result of wait_for_processer when the wait itself failed (WAIT_FAILED).
inline constexpr int kWaitFailed = -1;

enum class WaitResult { AllEnded, TimedOut, Failed };

// Stops the suite's programs that run from install_dir before files are replaced.
// Never fails towards the caller; logs what it did.
void kill_castmill(const std::filesystem::path& install_dir, bool has_updater, bool has_setup,
                   std::chrono::milliseconds grace = kShutdownGrace);

// The shutdown: every process whose program file name is in `names` (exact,
// case-sensitive) and lies inside install_dir is asked to close, given `grace` to
// end, then terminated. 0 when nothing ran or everything ended, 1 when the process
// list could not be read, kWaitFailed when the wait failed.
int wait_for_processer(const std::filesystem::path& install_dir, const std::set<std::string>& names,
                       std::chrono::milliseconds grace = kShutdownGrace);

// Starts a program from a command line (program and parameters, split like a shell
// splits words, without expansions), hidden, optionally waiting for its end. On
// success exit_code is the program's exit code (kStillActive when not waited for);
// when it cannot be started exit_code is the system code and the result is false.
bool execute_command_line(const std::string& command_line, std::uint32_t& exit_code, bool wait);

// Splits a command line into words as a POSIX shell does: blanks separate words,
// single quotes keep everything, double quotes keep all but \" \\ \$ \`, a
// backslash outside quotes keeps the next character. An unterminated quote runs
// to the end of the line.
std::vector<std::string> split_command_line(std::string_view command_line);

// Programs that hold any of `paths` open, map them, or run one of them as their
// program file; one entry per process, the calling process left out.
std::vector<HoldingProgram> programs_holding(const std::vector<std::filesystem::path>& paths);

// Platform primitives.

// All processes whose program file can be read; nullopt when the list itself
// cannot be read.
std::optional<std::vector<ProcessInfo>> list_processes();

// Whether a program file lies inside the directory (the way the platform names
// program files).
bool image_in_directory(const std::filesystem::path& image, const std::filesystem::path& dir);

// Asks a process to close, without waiting for it. False when no request could be
// delivered.
bool request_close(ProcessId pid);

// Ends a process at once. False when it could not be ended.
bool terminate(ProcessId pid);

// Waits until every process has ended, or the timeout passes.
WaitResult wait_all(const std::vector<ProcessId>& pids, std::chrono::milliseconds timeout);

// The calling process.
ProcessId current_process_id();

}  // namespace velora::sys
