#include "app/startup.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <variant>
#include <vector>

#include "base/logger.h"
#include "base/result_codes.h"
#include "base/utf8_path.h"
#include "layout/defaults.h"
#include "layout/paths.h"
#include "report/report_client.h"
#include "setup/install_journal.h"
#include "sys/environment.h"
#include "sys/error_code.h"
#include "sys/folders.h"
#include "sys/named_mutex.h"
#include "sys/shell.h"

namespace velora::st {

namespace {

// The report client's version, which selects its credentials in the key file.
constexpr const char* kReportVersion = "1.0.0";
constexpr const char* kUserAppDataVariable = "OBS_USER_APPDATA_PATH";

void end_reports_and_log(std::chrono::milliseconds pause);

// The end of a second installer. Where the person was shown the running window or a
// message, standard output stays clean and nothing is left to wait for.
int exit_already_running(const char* message, const LaunchOptions& options,
                         const StartupSteps& steps) {
    if (steps.tell_already_running && steps.tell_already_running(options, steps.exit_pause)) {
        log_tagged(kLogWarning, "call exit: %s", message);
        end_reports_and_log(std::chrono::milliseconds(0));
    } else {
        call_exit(message, steps.exit_pause);
    }
    return kExitAlreadyRunning;
}

// The guard covers the install folder for the whole machine: two installers on one folder
// from two login sessions or users would undo each other's switch; on two folders they may
// both run.
int run_as_elevated(const LaunchOptions& options, const StartupSteps& steps) {
    const std::filesystem::path& folder = options.install_dir;
    if (sys::NamedMutex::exists(kAdminMutexName, folder))
        return exit_already_running("OpenMutex error", options, steps);
    int code = 0;
    auto mutex = sys::NamedMutex::create_owned(kAdminMutexName, folder, &code);
    // Losing the name to an installer that started in the same instant is a second
    // instance too; any other failure leaves this run unguarded, as a failed create would.
    if (!mutex && code == sys::kErrorAlreadyExists)
        return exit_already_running("OpenMutex error", options, steps);
    if (!mutex) log_tagged(kLogWarning, "create mutex %s failed: %d", kAdminMutexName, code);
    // Under the mutex, before anything reads the install folder: a switch an earlier run
    // left unfinished is settled first.
    recover_interrupted_install(options.install_dir);
    std::printf("start ....\n");
    std::fflush(stdout);

    const int exit_code = steps.run_window(options);
    log_tagged(kLogInfo, "app_exit");

    if (mutex) mutex->release();
    call_exit(nullptr, steps.exit_pause);
    return exit_code;
}

int run_as_user(const ParsedLaunch& launch, const StartupSteps& steps) {
    int code = sys::kErrorAlreadyExists;
    std::unique_ptr<sys::NamedMutex> mutex;
    const std::filesystem::path& folder = launch.options.install_dir;
    if (!sys::NamedMutex::exists(kNonAdminMutexName, folder)) {
        mutex = sys::NamedMutex::create_owned(kNonAdminMutexName, folder, &code);
    }
    if (!mutex && code == sys::kErrorAlreadyExists)
        return exit_already_running("OpenMutex admin error", launch.options, steps);
    if (!mutex) log_tagged(kLogWarning, "create mutex %s failed: %d", kNonAdminMutexName, code);

    const std::optional<int> elevated_exit = steps.relaunch_elevated(launch.command_line);
    // Only an unattended run passes the elevated copy's code on: nobody watches its window.
    const int exit_code = launch.options.silent && elevated_exit ? *elevated_exit : 0;

    if (mutex) mutex->release();
    call_exit(nullptr, steps.exit_pause);
    return exit_code;
}

}  // namespace

namespace {

void end_reports_and_log(std::chrono::milliseconds pause) {
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
    blog_reporter().stop();
    close_local_logger();
}

}  // namespace

void call_exit(const char* message, std::chrono::milliseconds pause) {
    if (message != nullptr) {
        std::printf("report error: %s\n", message);
        std::fflush(stdout);
        log_tagged(kLogWarning, "call exit: %s", message);
    } else {
        log_tagged(kLogWarning, "call exit");
    }
    end_reports_and_log(pause);
}

std::optional<int> relaunch_elevated_and_wait(const std::string& command_line) {
    const auto self = sys::executable_path();
    if (!self) {
        log_tagged(kLogError, "own executable path unavailable, no elevated start");
        return std::nullopt;
    }
    sys::allow_any_foreground_window();
    if (const auto roaming = sys::known_folder(sys::KnownFolder::RoamingAppData)) {
        sys::set_environment_variable(kUserAppDataVariable, sys::utf8_of(*roaming));
    }
    log_tagged(kLogInfo, "RunProcessAndWaitRuturn: %ws\n", command_line);
    sys::ShellStart started;
    const int code =
        sys::launch_elevated(*self, command_line, sys::ShowWindow::Normal, true, &started);
    if (code != 0) log_tagged(kLogWarning, "elevated start failed: %d", code);
    if (!started.exit_code) return std::nullopt;
    return static_cast<int>(*started.exit_code);
}

StartupSteps default_startup_steps(std::function<int(const LaunchOptions&)> run_window) {
    StartupSteps steps;
    steps.run_window = std::move(run_window);
    steps.relaunch_elevated = relaunch_elevated_and_wait;
    steps.elevated = sys::is_elevated();
    return steps;
}

int run_setup(std::string_view command_line, const StartupSteps& steps) {
    init_local_logger(log_directory(), std::string(kLogPrefix), kLogInfo);
    log_tagged(kLogInfo, "start setup process v: %s", std::string(kInstallerVersion));
    init_report(kReportVersion);

    const LaunchParse launch = parse_launch_options(command_line);
    if (const auto* exit = std::get_if<LaunchExit>(&launch)) {
        close_local_logger();
        return exit->code;
    }
    const auto& parsed = std::get<ParsedLaunch>(launch);
    return steps.elevated ? run_as_elevated(parsed.options, steps) : run_as_user(parsed, steps);
}

namespace {

// The milliseconds of a hidden exit-pause argument, when it is one.
std::optional<std::chrono::milliseconds> exit_pause_of(std::string_view arg) {
    if (!arg.starts_with(kExitPauseArgument)) return std::nullopt;
    const std::string_view value = arg.substr(kExitPauseArgument.size());
    long long ms = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), ms);
    if (ec != std::errc() || end != value.data() + value.size() || ms < 0 || ms > 60000)
        return std::nullopt;
    return std::chrono::milliseconds(ms);
}

}  // namespace

ProgramArguments read_command_line_tail(std::string_view tail) {
    ProgramArguments result;
    const size_t blank = tail.find_first_of(" \t");
    if (const auto pause = exit_pause_of(tail.substr(0, blank))) {
        result.exit_pause = *pause;
        tail = blank == std::string_view::npos ? std::string_view() : tail.substr(blank);
        tail.remove_prefix(std::min(tail.find_first_not_of(" \t"), tail.size()));
    }
    result.command_line = std::string(tail);
    return result;
}

ProgramArguments read_program_arguments(int argc, const char* const* argv) {
    ProgramArguments result;
    std::vector<const char*> rest;
    if (argc > 0) rest.push_back(argv[0]);
    for (int i = 1; i < argc; ++i) {
        if (const auto pause = exit_pause_of(argv[i])) {
            result.exit_pause = *pause;
            continue;
        }
        rest.push_back(argv[i]);
    }
    result.command_line = command_line_from_arguments(static_cast<int>(rest.size()), rest.data());
    return result;
}

}  // namespace velora::st
