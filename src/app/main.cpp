#include "app/startup.h"
#include "ui/run_window.h"

int main(int argc, char** argv) {
    using namespace velora::st;
    const ProgramArguments arguments = read_program_arguments(argc, argv);
    StartupSteps steps = default_startup_steps(run_window);
    steps.exit_pause = arguments.exit_pause;
    return run_setup(arguments.command_line, steps);
}
