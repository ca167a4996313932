#include "x_session.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifdef CASTMILL_WITH_XCB
#include <xcb/xcb.h>
#endif

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

bool eventually(const std::function<bool()>& ready) {
    for (int i = 0; i < 1200; ++i) {
        if (ready()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

std::string XSession::missing_tools() {
    std::string missing;
    for (const char* tool : kTools)
        if (find_tool(tool).empty()) missing += std::string(missing.empty() ? "" : " ") + tool;
    return missing;
}

XSession::XSession(QSize screen) : dir_(make_unique_directory(isolate_environment(), "x11-")) {
    // Parallel tests each need their own display. With -displayfd alone the server
    // picks its number before it takes the lock, so two servers starting together can
    // share one and a client reaches neither; so the number is chosen here, spread by
    // process id, and a server that does not come up or does not answer is replaced
    // by one on the next number.
    const int first = 100 + static_cast<int>(::getpid() % 400) * 2;
    std::string failures;
    for (int attempt = 0; attempt < 20 && display_.empty(); ++attempt) {
        const int number = first + attempt * 7;
        if (fs::exists("/tmp/.X" + std::to_string(number) + "-lock")) continue;
        if (start_server(number, screen)) break;
        failures += "\n:" + std::to_string(number) + ": " + read_file(dir_ / "xvfb.log");
    }
    if (display_.empty()) throw std::runtime_error("Xvfb did not start:" + failures);

    // A running manager names its check window on the root window; one that ended
    // before it did is started again.
    bool managed = false;
    for (int attempt = 0; attempt < 3 && !managed; ++attempt) {
        window_manager_ = std::make_unique<ChildProcess>(
            "/bin/sh", std::vector<std::string>{"-c", "exec \"$0\" --sm-disable >\"$1\" 2>&1",
                                                find_tool("openbox").string(),
                                                (dir_ / "openbox.log").string()});
        wait_until([&] {
            const auto out =
                run_program(find_tool("xprop"), {"-root", "_NET_SUPPORTING_WM_CHECK"}).out;
            managed = out.find("window id") != std::string::npos;
            return managed || window_manager_->poll().has_value();
        });
    }
    if (!managed)
        throw std::runtime_error("openbox did not start on " + display_ + ": " +
                                 read_file(dir_ / "openbox.log"));
}

bool XSession::start_server(int number, QSize screen) {
    const fs::path ready = dir_ / "display";
    std::error_code ignored;
    fs::remove(ready, ignored);
    const std::string display = ":" + std::to_string(number);
    // -displayfd still tells when the server is ready to take clients.
    server_ = std::make_unique<ChildProcess>(
        "/bin/sh",
        std::vector<std::string>{
            "-c",
            "exec \"$0\" \"$1\" -displayfd 3 -screen 0 \"$4\" -nolisten tcp 3>\"$2\" 2>\"$3\"",
            find_tool("Xvfb").string(), display, ready.string(), (dir_ / "xvfb.log").string(),
            std::to_string(screen.width()) + "x" + std::to_string(screen.height()) + "x24"});
    const bool up = wait_until(
        [&] { return server_->poll() || read_file(ready).find('\n') != std::string::npos; });
    env_.set("DISPLAY", display);
    env_.set("XAUTHORITY", std::nullopt);
    // The server this test started must be the one that answers on the display.
    if (up && !server_->poll() &&
        run_program(find_tool("xprop"), {"-root", "-display", display}).exit_code == 0) {
        display_ = display;
        return true;
    }
    if (!server_->poll()) ::kill(server_->pid(), SIGTERM);
    server_->wait();
    server_.reset();
    return false;
}

XSession::~XSession() {
    // Asked to end, so that the server removes its socket and lock file.
    for (ChildProcess* child :
         {accessibility_bus_.get(), session_bus_.get(), window_manager_.get(), server_.get()}) {
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

std::string XSession::active_window() const {
    std::string window = run_program(find_tool("xdotool"), {"getactivewindow"}).out;
    while (!window.empty() && window.back() == '\n') window.pop_back();
    return window;
}

void XSession::key(const std::string& keys) const {
    run("xdotool", {"key", "--clearmodifiers", keys});
}

void XSession::move_pointer(int x, int y) const {
    run("xdotool", {"mousemove", "--sync", std::to_string(x), std::to_string(y)});
}

void XSession::click(int x, int y) const {
    move_pointer(x, y);
    run("xdotool", {"click", "1"});
}

void XSession::drag(int from_x, int from_y, int to_x, int to_y) const {
    move_pointer(from_x, from_y);
    run("xdotool", {"mousedown", "1"});
    // In steps, as a hand moves, so that the window sees the pointer on its way.
    for (int step = 1; step <= 4; ++step)
        move_pointer(from_x + (to_x - from_x) * step / 4, from_y + (to_y - from_y) * step / 4);
    run("xdotool", {"mouseup", "1"});
}

void XSession::minimize(const std::string& window) const {
    run("xdotool", {"windowminimize", "--sync", window});
}

QImage XSession::screenshot(const fs::path& file) const {
    fs::create_directories(file.parent_path());
    run("import", {"-window", "root", file.string()});
    return QImage(QString::fromStdString(file.string()));
}

namespace {
constexpr const char* kPython = "/usr/bin/python3";  // Debian's, which has pyatspi
constexpr const char* kBusLauncher = "/usr/libexec/at-spi-bus-launcher";
}  // namespace

std::string XSession::start_accessibility() {
    if (find_tool("dbus-daemon").empty() || ::access(kBusLauncher, X_OK) != 0)
        return "dbus-daemon or at-spi-bus-launcher not installed";
    if (run_program(kPython, {"-c", "import pyatspi"}).exit_code != 0)
        return "python3-pyatspi not installed";
    const std::string address = "unix:path=" + (dir_ / "session_bus").string();
    session_bus_ = std::make_unique<ChildProcess>(
        find_tool("dbus-daemon"),
        std::vector<std::string>{"--session", "--nofork", "--address=" + address});
    env_.set("DBUS_SESSION_BUS_ADDRESS", address);
    env_.set("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    // Up before the program: Qt looks for the accessibility bus once, when it starts.
    if (!wait_until([&] { return fs::exists(dir_ / "session_bus"); }))
        return "the session bus did not start";
    accessibility_bus_ = std::make_unique<ChildProcess>(
        kBusLauncher, std::vector<std::string>{"--launch-immediately"});
    const bool answers = wait_until([&] {
        return run_program(find_tool("dbus-send"),
                           {"--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                            "org.a11y.Bus.GetAddress"})
                   .exit_code == 0;
    });
    return answers ? std::string() : "the accessibility bus does not answer";
}

std::vector<XSession::Accessible> XSession::accessible_tree(pid_t pid) const {
    // Bounded: a bus that hangs fails the test instead of stopping the tier.
    const ProgramRun result = run_program(
        find_tool("timeout"), {"20", kPython, CASTMILL_ATSPI_TREE_SCRIPT, std::to_string(pid)});
    std::vector<Accessible> tree;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        Accessible node;
        std::string depth;
        std::getline(fields, depth, '\t');
        std::getline(fields, node.role, '\t');
        std::getline(fields, node.name, '\t');
        std::getline(fields, node.value, '\t');
        std::getline(fields, node.description);
        node.depth = std::atoi(depth.c_str());
        tree.push_back(node);
    }
    return tree;
}

QImage XSession::window_pixels(const std::string& window) const {
#ifndef CASTMILL_WITH_XCB
    static_cast<void>(window);
    return QImage();
#else
    xcb_connection_t* connection = xcb_connect(display_.c_str(), nullptr);
    const auto id = static_cast<xcb_window_t>(std::stoul(window));
    using Reply = std::unique_ptr<void, decltype(&std::free)>;
    Reply geometry(xcb_get_geometry_reply(connection, xcb_get_geometry(connection, id), nullptr),
                   &std::free);
    const auto* box = static_cast<xcb_get_geometry_reply_t*>(geometry.get());
    QImage pixels;
    // Only a 32-bit window carries alpha; any other has none to tell.
    if (box && box->depth == 32) {
        Reply image(xcb_get_image_reply(connection,
                                        xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, id, 0,
                                                      0, box->width, box->height, ~0u),
                                        nullptr),
                    &std::free);
        auto* reply = static_cast<xcb_get_image_reply_t*>(image.get());
        if (reply && xcb_get_image_data_length(reply) == box->width * box->height * 4)
            pixels = QImage(xcb_get_image_data(reply), box->width, box->height,
                            QImage::Format_ARGB32_Premultiplied)
                         .copy();
    }
    xcb_disconnect(connection);
    return pixels;
#endif
}

}  // namespace castmill::test
