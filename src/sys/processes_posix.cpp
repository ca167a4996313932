#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "base/logger.h"
#include "sys/error_code.h"
#include "sys/processes.h"
#include "sys/spawn_posix.h"

extern char** environ;

namespace velora::sys {

namespace {

namespace fs = std::filesystem;

constexpr std::chrono::milliseconds kPollInterval{10};

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

struct FileId {
    dev_t dev;
    ino_t ino;
    bool operator==(const FileId&) const = default;
};

std::optional<FileId> file_id(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileId{st.st_dev, st.st_ino};
}

// Numeric entries of /proc, in the order the kernel lists them.
std::optional<std::vector<ProcessId>> process_ids() {
    DirHandle dir(opendir("/proc"));
    if (!dir) return std::nullopt;
    std::vector<ProcessId> pids;
    while (dirent* entry = readdir(dir.get())) {
        char* end = nullptr;
        const unsigned long pid = std::strtoul(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid == 0) continue;
        pids.push_back(static_cast<ProcessId>(pid));
    }
    return pids;
}

std::string proc_path(ProcessId pid, const char* leaf) {
    return "/proc/" + std::to_string(pid) + "/" + leaf;
}

std::string strip_deleted(std::string path) {
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() && path.ends_with(kDeleted))
        path.resize(path.size() - kDeleted.size());
    return path;
}

std::optional<fs::path> process_image(ProcessId pid) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(proc_path(pid, "exe"), ec);
    if (ec || target.empty()) return std::nullopt;
    return fs::path(strip_deleted(target.string()));
}

// A process that has ended but not been reaped by its parent stays listed as a
// zombie; it holds nothing and runs nothing any more.
bool is_zombie(ProcessId pid) {
    std::ifstream in(proc_path(pid, "stat"));
    std::string stat_line;
    if (!std::getline(in, stat_line)) return false;
    const size_t paren = stat_line.rfind(')');
    return paren != std::string::npos && paren + 2 < stat_line.size() &&
           stat_line[paren + 2] == 'Z';
}

bool is_running(ProcessId pid) {
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
    return !is_zombie(pid);
}

// The mapped files of a process: the device, inode and path of each line.
void for_each_mapping(ProcessId pid, const auto& visit) {
    std::ifstream in(proc_path(pid, "maps"));
    std::string line;
    while (std::getline(in, line)) {
        unsigned int major = 0;
        unsigned int minor = 0;
        unsigned long long inode = 0;
        int consumed = 0;
        if (std::sscanf(line.c_str(), "%*x-%*x %*s %*x %x:%x %llu%n", &major, &minor, &inode,
                        &consumed) != 3 ||
            inode == 0)
            continue;
        const size_t start = line.find('/', static_cast<size_t>(consumed));
        const std::string path =
            start == std::string::npos ? "" : strip_deleted(line.substr(start));
        visit(FileId{makedev(major, minor), static_cast<ino_t>(inode)}, path);
    }
}

std::string program_name(ProcessId pid, const std::optional<fs::path>& image) {
    if (image) return image->filename().string();
    std::ifstream in(proc_path(pid, "comm"));
    std::string comm;
    std::getline(in, comm);
    return comm;
}

void reap_in_background(pid_t pid) {
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

std::uint32_t exit_code_of(int status) {
    if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
    // Ended by a signal: the code a shell would show.
    return 128u + static_cast<std::uint32_t>(WTERMSIG(status));
}

}  // namespace

std::optional<std::vector<ProcessInfo>> list_processes() {
    const auto pids = process_ids();
    if (!pids) return std::nullopt;
    std::vector<ProcessInfo> processes;
    for (ProcessId pid : *pids) {
        if (auto image = process_image(pid)) processes.push_back({pid, std::move(*image)});
    }
    return processes;
}

bool image_in_directory(const fs::path& image, const fs::path& dir) {
    if (dir.empty()) return false;
    // Program files are listed by their resolved path; resolve the directory alike.
    std::error_code ec;
    fs::path base = fs::weakly_canonical(dir, ec);
    if (ec) base = fs::absolute(dir, ec).lexically_normal();
    if (ec) return false;
    const fs::path relative = image.lexically_normal().lexically_relative(base);
    if (relative.empty() || relative == ".") return false;
    return *relative.begin() != "..";
}

bool request_close(ProcessId pid) { return kill(static_cast<pid_t>(pid), SIGTERM) == 0; }

bool terminate(ProcessId pid) { return kill(static_cast<pid_t>(pid), SIGKILL) == 0; }

WaitResult wait_all(const std::vector<ProcessId>& pids, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<ProcessId> pending = pids;
    for (;;) {
        std::erase_if(pending, [](ProcessId pid) { return !is_running(pid); });
        if (pending.empty()) return WaitResult::AllEnded;
        if (std::chrono::steady_clock::now() >= deadline) return WaitResult::TimedOut;
        std::this_thread::sleep_for(kPollInterval);
    }
}

ProcessId current_process_id() { return static_cast<ProcessId>(getpid()); }

bool execute_command_line(const std::string& command_line, std::uint32_t& exit_code, bool wait) {
    std::vector<std::string> words = split_command_line(command_line);
    if (words.empty()) {
        exit_code = kErrorFileNotFound;
        log_tagged(kLogWarning, "ExecuteCommandLine[%ls] failed code[%d]", command_line,
                   static_cast<int>(exit_code));
        return false;
    }
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    const SpawnSettings spawn;
    pid_t pid = 0;
    const int rc =
        posix_spawnp(&pid, argv[0], &spawn.actions, &spawn.attributes, argv.data(), environ);
    if (rc != 0) {
        exit_code = static_cast<std::uint32_t>(system_code_from_errno(rc));
        log_tagged(kLogWarning, "ExecuteCommandLine[%ls] failed code[%d]", command_line,
                   static_cast<int>(exit_code));
        return false;
    }

    int status = 0;
    pid_t waited = 0;
    do {
        waited = waitpid(pid, &status, wait ? 0 : WNOHANG);
    } while (waited < 0 && errno == EINTR);
    if (waited == 0) {
        exit_code = kStillActive;
        reap_in_background(pid);
        return true;
    }
    if (waited < 0) {
        log_tagged(kLogWarning, "ExecuteCommandLine[%ls] but couldn't get exit code.",
                   command_line);
        return false;
    }
    exit_code = exit_code_of(status);
    return true;
}

std::vector<HoldingProgram> programs_holding(const std::vector<fs::path>& paths) {
    std::vector<FileId> ids;
    std::vector<std::string> names;
    for (const fs::path& path : paths) {
        if (auto id = file_id(path.string())) ids.push_back(*id);
        std::error_code ec;
        const fs::path resolved = fs::weakly_canonical(path, ec);
        if (!ec && !resolved.empty()) names.push_back(resolved.string());
    }
    std::vector<HoldingProgram> holders;
    if (ids.empty() && names.empty()) return holders;
    const auto is_target = [&](const std::optional<FileId>& id) {
        return id && std::find(ids.begin(), ids.end(), *id) != ids.end();
    };

    const ProcessId self = current_process_id();
    for (ProcessId pid : process_ids().value_or(std::vector<ProcessId>{})) {
        if (pid == self) continue;
        bool holds = is_target(file_id(proc_path(pid, "exe")));
        if (!holds) {
            DirHandle fds(opendir(proc_path(pid, "fd").c_str()));
            while (fds && !holds) {
                const dirent* entry = readdir(fds.get());
                if (!entry) break;
                if (entry->d_name[0] == '.') continue;
                holds = is_target(file_id(proc_path(pid, "fd") + "/" + entry->d_name));
            }
        }
        if (!holds) {
            // Files of another mount namespace or an overlay can show a different
            // device number; their path still names them.
            for_each_mapping(pid, [&](const FileId& id, const std::string& path) {
                if (is_target(id) || std::find(names.begin(), names.end(), path) != names.end())
                    holds = true;
            });
        }
        if (!holds || is_zombie(pid)) continue;
        const auto image = process_image(pid);
        holders.push_back({pid, program_name(pid, image), image.value_or(fs::path())});
    }
    return holders;
}

}  // namespace velora::sys
