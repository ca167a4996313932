#include "app/setup_center_engine.h"
#include "app/startup.h"
#include "app/unattended.h"
#include "sys/environment.h"
#ifdef CASTMILL_WITH_WINDOW
#include "ui/run_window.h"
#endif

int main(int argc, char** argv) {
    using namespace velora::st;
    // Windows keeps the command line whole, with its own quoting; use it as it stands.
    const auto tail = velora::sys::command_line_tail();
    const ProgramArguments arguments =
        tail ? read_command_line_tail(*tail) : read_program_arguments(argc, argv);
    StartupSteps steps = default_startup_steps([](const LaunchOptions& options) {
#ifdef CASTMILL_WITH_WINDOW
        if (!options.silent) return run_window(options, std::make_unique<SetupCenterEngine>());
#endif
        // A build without the window runs every install unattended.
        return run_unattended(options, {}, std::make_unique<SetupCenterEngine>());
    });
    steps.exit_pause = arguments.exit_pause;
#ifdef CASTMILL_WITH_WINDOW
    steps.tell_already_running = [](const LaunchOptions& options, std::chrono::milliseconds shown) {
        return !options.silent && tell_already_running(shown);
    };
#endif
    return run_setup(arguments.command_line, steps);
}
