#include <string>
#include <variant>

#include "app/defaults.h"
#include "app/launch_options.h"
#include "app/paths.h"
#include "report/logger.h"

int main(int argc, char** argv) {
    using namespace velora::st;
    init_local_logger(log_directory(), std::string(kLogPrefix), kLogInfo);
    log_tagged(kLogInfo, "start setup process v: %s", kInstallerVersion);

    const LaunchParse launch = parse_launch_options(command_line_from_arguments(argc, argv));
    if (const auto* exit = std::get_if<LaunchExit>(&launch)) return exit->code;

    close_local_logger();
    return 0;
}
