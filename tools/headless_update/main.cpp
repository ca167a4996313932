// Runs one module update without the window: initialize, download and install, in that
// order, against the configured service hosts (CASTMILL_*_HOST), and prints each result.
//
//   headless_update [--progress] "<installer path>;--install_dir=<folder>;--modules=3"
//
// The command line has the installer's own format. Exit code 0 when every step
// succeeded, 2 when one failed (the later steps are not run).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <variant>

#include "base/logger.h"
#include "base/result_codes.h"
#include "layout/defaults.h"
#include "layout/launch_options.h"
#include "layout/paths.h"
#include "report/report_client.h"
#include "setup/setup_center.h"

namespace {

using namespace velora::st;
using velora::kExitFailed;
using velora::kSetupOk;

bool print_result(const char* step, int result, const std::string& message) {
    std::printf("%s: %d%s%s\n", step, result, message.empty() ? "" : " ", message.c_str());
    std::fflush(stdout);
    return result == kSetupOk;
}

// A line per second at most, and the last one.
DownloadProgress progress_printer() {
    auto last = std::make_shared<std::chrono::steady_clock::time_point>();
    return [last](int64_t total, int64_t present, int64_t fetched) {
        const auto now = std::chrono::steady_clock::now();
        if (present + fetched < total && now - *last < std::chrono::seconds(1)) return;
        *last = now;
        std::printf("progress: %lld/%lld bytes\n", static_cast<long long>(present + fetched),
                    static_cast<long long>(total));
        std::fflush(stdout);
    };
}

int run(const LaunchOptions& options, bool progress) {
    SetupCenter center;
    center.set_event_sink(&setup_reports());
    std::string message;
    if (!print_result("initialize", center.initialize(options, message), message))
        return kExitFailed;
    message.clear();
    const int downloaded = center.download_files(
        progress ? progress_printer() : DownloadProgress([](int64_t, int64_t, int64_t) {}),
        message);
    if (!print_result("download", downloaded, message)) return kExitFailed;
    message.clear();
    if (!print_result("install", center.install(message), message)) return kExitFailed;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool progress = false;
    int first = 1;
    if (argc > 1 && std::strcmp(argv[1], "--progress") == 0) {
        progress = true;
        ++first;
    }
    init_local_logger(log_directory(), "headless_update", kLogInfo);
    const LaunchParse launch =
        parse_launch_options(command_line_from_arguments(argc - first + 1, argv + first - 1));
    if (std::holds_alternative<LaunchExit>(launch)) {
        std::fprintf(stderr, "headless_update: the command line names no usable install folder\n");
        return kExitFailed;
    }
    const int code = run(std::get<ParsedLaunch>(launch).options, progress);
    // Queued event reports still go out.
    blog_reporter().stop();
    close_local_logger();
    return code;
}
