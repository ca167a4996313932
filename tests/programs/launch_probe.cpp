// Parses a command line with the log open, in a fresh process:
//   launch_probe LOG_DIR ARGS...   (ARGS joined as the program's command line)
// Prints the outcome, one "name=value" per line.
#include <cstdio>
#include <variant>

#include "base/logger.h"
#include "layout/launch_options.h"
#include "layout/paths.h"

int main(int argc, char** argv) {
    using namespace velora::st;
    if (argc < 2) return 2;
    init_local_logger(argv[1], "setup", kLogInfo);
    const LaunchParse launch =
        parse_launch_options(command_line_from_arguments(argc - 1, argv + 1));
    if (const auto* exit = std::get_if<LaunchExit>(&launch)) {
        std::printf("exit=%d\n", exit->code);
        return 0;
    }
    const ParsedLaunch& parsed = std::get<ParsedLaunch>(launch);
    std::printf("install_dir=%s\nmodules=%d\n", parsed.options.install_dir.string().c_str(),
                parsed.options.modules);
    close_local_logger();
    return 0;
}
