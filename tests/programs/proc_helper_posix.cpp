// A small program the process tests start and stop.
//   proc_helper exit CODE                 ends at once with CODE
//   proc_helper args OUT WORD...          writes each WORD on its own line to OUT
//   proc_helper sleep READY [options]     waits until it is stopped; READY is created
//                                         once it is set up. Options:
//     --ignore-term   does not end on a close request (SIGTERM)
//     --hold FILE     keeps FILE open
//     --map FILE      maps FILE into memory and closes the descriptor
//   proc_helper shutdown DIR GRACE_MS NAME...
//                                         runs the suite shutdown for DIR and NAMEs and
//                                         ends with its result
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "sys/processes.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: proc_helper exit CODE | args OUT WORD... | sleep READY [...] | "
                 "shutdown DIR GRACE_MS NAME...\n");
    return 64;
}

bool map_file(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    const bool mapped =
        fstat(fd, &st) == 0 && st.st_size > 0 &&
        mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0) != MAP_FAILED;
    close(fd);
    return mapped;
}

// Created under a temporary name and renamed, so that its presence means "ready".
bool announce_ready(const std::string& ready) {
    const std::string temporary = ready + ".tmp";
    {
        std::ofstream out(temporary);
        out << getpid() << '\n';
        if (!out) return false;
    }
    return std::rename(temporary.c_str(), ready.c_str()) == 0;
}

int run_sleep(int argc, char** argv) {
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--ignore-term") == 0) {
            signal(SIGTERM, SIG_IGN);
        } else if (std::strcmp(argv[i], "--hold") == 0 && i + 1 < argc) {
            if (open(argv[++i], O_RDONLY | O_CLOEXEC) < 0) return 2;
        } else if (std::strcmp(argv[i], "--map") == 0 && i + 1 < argc) {
            if (!map_file(argv[++i])) return 3;
        } else {
            return usage();
        }
    }
    if (!announce_ready(argv[2])) return 4;
    for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    const std::string mode = argv[1];
    if (mode == "exit") return std::atoi(argv[2]);
    if (mode == "args") {
        std::ofstream out(argv[2]);
        for (int i = 3; i < argc; ++i) out << argv[i] << '\n';
        return out ? 0 : 5;
    }
    if (mode == "sleep") return run_sleep(argc, argv);
    if (mode == "shutdown" && argc >= 4) {
        const std::set<std::string> names(argv + 4, argv + argc);
        return velora::sys::wait_for_processer(argv[2], names,
                                               std::chrono::milliseconds(std::atoi(argv[3])));
    }
    return usage();
}
