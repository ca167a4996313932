#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "base/logger.h"
#include "sys/error_code.h"
#include "sys/files.h"
#include "sys/processes.h"
#include "sys/shell.h"
#include "sys/spawn_posix.h"

extern char** environ;

namespace velora::sys {

namespace fs = std::filesystem;

namespace {

void reap_in_background(pid_t pid) {
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

// Characters that make the Exec key quote an argument.
constexpr std::string_view kExecReserved = " \t\n\"'\\><~|&;$*?#()`";

// One argument of an Exec line: quoted when it holds a reserved character, with
// '"', '`', '$' and '\' escaped inside the quotes; '%' is doubled everywhere, as
// field codes use it.
std::string exec_argument(const std::string& word) {
    const bool quote = word.empty() || word.find_first_of(kExecReserved) != std::string::npos;
    std::string out;
    if (quote) out += '"';
    for (char c : word) {
        if (c == '%') {
            out += "%%";
            continue;
        }
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) out += '\\';
        out += c;
    }
    if (quote) out += '"';
    return out;
}

// The escapes of a string value in a desktop entry, applied after the Exec quoting.
std::string entry_value(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    if (!out.empty() && out.front() == ' ') out.replace(0, 1, "\\s");
    return out;
}

bool write_entry_file(const fs::path& file, const std::string& text) {
    const fs::path temp = file.parent_path() / ("." + file.filename().string() + ".tmp");
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out << text;
        out.flush();
        if (!out) {
            out.close();
            std::error_code ec;
            fs::remove(temp, ec);
            return false;
        }
    }
    std::error_code ec;
    // Desktops start only entries that are marked executable.
    fs::permissions(temp,
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec,
                    ec);
    // The data is on disk before the name goes live, and the name after.
    if (!ec && flush_file(temp) != kErrorSuccess) ec = std::make_error_code(std::errc::io_error);
    if (!ec) fs::rename(temp, file, ec);
    if (!ec && flush_directory(file.parent_path()) != kErrorSuccess)
        ec = std::make_error_code(std::errc::io_error);
    if (ec) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        return false;
    }
    return true;
}

}  // namespace

std::string param_word(std::string_view text, bool always_quote) {
    // The characters split_command_line gives a meaning outside quotes.
    constexpr std::string_view kSpecial = " \t\n\\'\"";
    if (!always_quote && !text.empty() && text.find_first_of(kSpecial) == std::string_view::npos)
        return std::string(text);
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\' || c == '$' || c == '`') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

int shell_execute(const fs::path& file, const std::string& params, ShowWindow, bool wait,
                  ShellStart* started) {
    if (file.empty()) return kErrorFileNotFound;
    std::vector<std::string> words = split_command_line(params);
    std::string program = file.string();
    std::vector<char*> argv;
    argv.push_back(program.data());
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    const SpawnSettings spawn(!wait);
    pid_t pid = 0;
    const int rc =
        posix_spawn(&pid, program.c_str(), &spawn.actions, &spawn.attributes, argv.data(), environ);
    if (rc != 0) return system_code_from_errno(rc);

    ShellStart result;
    result.has_process = true;
    if (!wait) {
        reap_in_background(pid);
    } else {
        int status = 0;
        pid_t waited = 0;
        do {
            waited = waitpid(pid, &status, 0);
        } while (waited < 0 && errno == EINTR);
        if (waited == pid && WIFEXITED(status))
            result.exit_code = static_cast<std::uint32_t>(WEXITSTATUS(status));
        else if (waited == pid && WIFSIGNALED(status))
            result.exit_code = 128u + static_cast<std::uint32_t>(WTERMSIG(status));
    }
    if (started) *started = result;
    return kErrorSuccess;
}

int launch_elevated(const fs::path& file, const std::string& params, ShowWindow show, bool wait,
                    ShellStart* started) {
    // Installs are per user here: nothing to elevate.
    return shell_execute(file, params, show, wait, started);
}

bool is_elevated() { return true; }

// X11 and Wayland have no foreground lock to lift.
void allow_any_foreground_window() {}

fs::path shortcut_file(const fs::path& link) {
    fs::path file = link;
    file.replace_extension(".desktop");
    return file;
}

bool create_shortcut(const fs::path& target, const fs::path& link, const std::string& args,
                     const std::string& description, const fs::path& workdir) {
    if (target.empty() || link.empty()) return false;
    std::string exec = exec_argument(target.string());
    for (const std::string& word : split_command_line(args)) exec += " " + exec_argument(word);

    std::string entry = "[Desktop Entry]\nType=Application\n";
    entry += "Name=" + entry_value(link.stem().string()) + "\n";
    if (!description.empty()) entry += "Comment=" + entry_value(description) + "\n";
    entry += "Exec=" + entry_value(exec) + "\n";
    if (!workdir.empty()) entry += "Path=" + entry_value(workdir.string()) + "\n";
    entry += "Terminal=false\n";
    return write_entry_file(shortcut_file(link), entry);
}

int register_com_server(const fs::path& server, std::chrono::milliseconds) {
    log_tagged(kLogInfo, "register com server [%s]: not supported on this platform", server);
    return kErrorNotSupported;
}

}  // namespace velora::sys
