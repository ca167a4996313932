// Drives the process-wide logger from a fresh process, one step per group of arguments:
//   init DIR PREFIX LEVEL   set up; prints "init=1" or "init=0"
//   log LEVEL TEXT          log_tagged(LEVEL, "%s", TEXT)
//   raw LEVEL TEXT          log_printf(LEVEL, "%s", TEXT)
//   wide LEVEL              logs one text as "%ws", "%ls" and a path
//   threads N COUNT         N threads log COUNT two-line messages each
//   installed               prints "installed=1" or "installed=0"
//   close                   close_local_logger()
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/logger.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc;) {
        const std::string step = argv[i++];
        auto next = [&]() -> const char* {
            if (i >= argc) {
                std::fprintf(stderr, "missing argument for %s\n", step.c_str());
                std::exit(2);
            }
            return argv[i++];
        };
        if (step == "init") {
            const char* dir = next();
            const char* prefix = next();
            const int level = std::atoi(next());
            std::printf("init=%d\n", init_local_logger(dir, prefix, level) ? 1 : 0);
        } else if (step == "log") {
            const int level = std::atoi(next());
            log_tagged(level, "%s", next());
        } else if (step == "raw") {
            const int level = std::atoi(next());
            log_printf(level, "%s", next());
        } else if (step == "wide") {
            const int level = std::atoi(next());
            const wchar_t* text = L"Gr\u00fc\u00dfe \u65e5\u672c \U0001F3A5";
            log_tagged(level, "%ws|%ls|%s", text, std::wstring(text),
                       std::filesystem::path(u8"Gr\u00fc\u00dfe"));
        } else if (step == "threads") {
            const int threads = std::atoi(next());
            const int count = std::atoi(next());
            std::vector<std::thread> workers;
            for (int t = 0; t < threads; ++t) {
                workers.emplace_back([t, count] {
                    for (int m = 0; m < count; ++m)
                        log_tagged(kLogInfo, "t%d m%d\nsecond line of t%d m%d", t, m, t, m);
                });
            }
            for (auto& w : workers) w.join();
        } else if (step == "installed") {
            std::printf("installed=%d\n", log_sink_installed() ? 1 : 0);
        } else if (step == "close") {
            close_local_logger();
        } else {
            std::fprintf(stderr, "unknown step %s\n", step.c_str());
            return 2;
        }
    }
    return 0;
}
