#include "x_session.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/program_run.h"
#include "support/test_env.h"

namespace castmill::test {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kTools[] = {"Xvfb", "openbox", "xdotool", "xprop", "import"};

// The program's path by the search path, empty when it is not installed.
fs::path find_tool(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const fs::path candidate = fs::path(dir) / name;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

// Polls until ready() holds, for at most 30 seconds.
template <typename Ready>
bool wait_until(Ready ready) {
    for (int i = 0; i < 600; ++i) {
        if (ready()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

}  // namespace

std::string XSession::missing_tools() {
    std::string missing;
    for (const char* tool : kTools)
        if (find_tool(tool).empty()) missing += std::string(missing.empty() ? "" : " ") + tool;
    return missing;
}

XSession::XSession() : dir_(make_unique_directory(isolate_environment(), "x11-")) {
    // -displayfd: the server takes a free display and writes its number when it is ready.
    const fs::path number = dir_ / "display";
    server_ = std::make_unique<ChildProcess>(
        "/bin/sh",
        std::vector<std::string>{
            "-c", "exec \"$0\" -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>\"$1\" 2>\"$2\"",
            find_tool("Xvfb").string(), number.string(), (dir_ / "xvfb.log").string()});
    if (!wait_until([&] { return read_file(number).find('\n') != std::string::npos; }))
        throw std::runtime_error("Xvfb did not start: " + read_file(dir_ / "xvfb.log"));
    const std::string text = read_file(number);
    display_ = ":" + text.substr(0, text.find('\n'));
    env_.set("DISPLAY", display_);
    env_.set("XAUTHORITY", std::nullopt);

    window_manager_ = std::make_unique<ChildProcess>(
        "/bin/sh",
        std::vector<std::string>{"-c", "exec \"$0\" --sm-disable >\"$1\" 2>&1",
                                 find_tool("openbox").string(), (dir_ / "openbox.log").string()});
    // A running manager names its check window on the root window.
    const bool managed = wait_until([&] {
        const auto out = run_program(find_tool("xprop"), {"-root", "_NET_SUPPORTING_WM_CHECK"}).out;
        return out.find("window id") != std::string::npos;
    });
    if (!managed)
        throw std::runtime_error("openbox did not start: " + read_file(dir_ / "openbox.log"));
}

XSession::~XSession() {
    // Asked to end, so that the server removes its socket and lock file.
    for (ChildProcess* child : {window_manager_.get(), server_.get()}) {
        if (child == nullptr || child->poll()) continue;
        ::kill(child->pid(), SIGTERM);
        child->wait();
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

std::string XSession::run(const std::string& tool, const std::vector<std::string>& args) const {
    const ProgramRun result = run_program(find_tool(tool), args);
    if (result.exit_code != 0) {
        std::string command = tool;
        for (const auto& arg : args) command += " " + arg;
        throw std::runtime_error(command + " failed (" + std::to_string(result.exit_code) +
                                 "): " + result.err);
    }
    return result.out;
}

std::vector<std::string> XSession::visible_windows(pid_t pid) const {
    // xdotool ends with 1 when nothing matches.
    const ProgramRun result = run_program(
        find_tool("xdotool"), {"search", "--onlyvisible", "--pid", std::to_string(pid)});
    std::vector<std::string> windows;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) windows.push_back(line);
    return windows;
}

QRect XSession::geometry(const std::string& window) const {
    std::istringstream lines(run("xdotool", {"getwindowgeometry", "--shell", window}));
    int x = 0, y = 0, width = 0, height = 0;
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string name = line.substr(0, eq);
        const int value = std::atoi(line.c_str() + eq + 1);
        if (name == "X") x = value;
        if (name == "Y") y = value;
        if (name == "WIDTH") width = value;
        if (name == "HEIGHT") height = value;
    }
    return QRect(x, y, width, height);
}

std::string XSession::name(const std::string& window) const {
    std::string text = run("xdotool", {"getwindowname", window});
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

void XSession::activate(const std::string& window) const {
    run("xdotool", {"windowactivate", "--sync", window});
}

void XSession::key(const std::string& keys) const {
    run("xdotool", {"key", "--clearmodifiers", keys});
}

void XSession::move_pointer(int x, int y) const {
    run("xdotool", {"mousemove", "--sync", std::to_string(x), std::to_string(y)});
}

QImage XSession::screenshot(const fs::path& file) const {
    fs::create_directories(file.parent_path());
    run("import", {"-window", "root", file.string()});
    return QImage(QString::fromStdString(file.string()));
}

}  // namespace castmill::test
