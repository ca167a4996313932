#pragma once

// A real X server for one test: Xvfb on a free display with the openbox window manager,
// and the tools that drive it as a person would: xdotool (keys, pointer, windows) and
// ImageMagick's import (screenshots).
//
//   if (auto missing = XSession::missing_tools(); !missing.empty()) GTEST_SKIP() << missing;
//   XSession x;                                // DISPLAY of this process points at it
//   ... start the program under test ...
//   auto windows = x.visible_windows(pid);
//   x.activate(windows[0]);
//   x.key("alt+F4");                           // through the window manager: WM_DELETE_WINDOW
//   QImage shot = x.screenshot(dir / "state.png");

#include <sys/types.h>

#include <QImage>
#include <QRect>
#include <QSize>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/scoped_env.h"

namespace castmill::test {

// The languages the window tiers run in.
struct WindowLocale {
    const char* name;   // of the window's texts
    const char* posix;  // LANG as a user's session sets it
};
inline void PrintTo(const WindowLocale& locale, std::ostream* out) { *out << locale.name; }
inline constexpr WindowLocale kWindowLocales[] = {
    {"en-US", "en_US.UTF-8"}, {"de-DE", "de_DE.UTF-8"}, {"zh-CN", "zh_CN.UTF-8"}};

// Polls until ready() holds, for at most 60 seconds.
bool eventually(const std::function<bool()>& ready);

class XSession {
public:
    // The programs the tier needs that are not installed, separated by blanks.
    static std::string missing_tools();

    // Starts the server with a screen of that size and the window manager and waits until
    // the manager runs; throws std::runtime_error when either does not come up.
    explicit XSession(QSize screen = QSize(1280, 900));
    ~XSession();
    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;

    const std::string& display() const { return display_; }

    // Mapped top-level windows of a process, oldest first.
    std::vector<std::string> visible_windows(pid_t pid) const;
    QRect geometry(const std::string& window) const;
    std::string name(const std::string& window) const;

    // Gives the window the input focus through the window manager.
    void activate(const std::string& window) const;
    // The window that has the input focus; empty when none has.
    std::string active_window() const;
    // Presses keys with the real keyboard (XTEST), e.g. "Escape", "alt+F4", "shift+Tab".
    void key(const std::string& keys) const;
    void move_pointer(int x, int y) const;
    // Clicks with the left button at a point of the screen.
    void click(int x, int y) const;
    // Drags with the left button held from one point of the screen to another.
    void drag(int from_x, int from_y, int to_x, int to_y) const;
    void minimize(const std::string& window) const;

    // The whole screen, also saved as a PNG at file.
    QImage screenshot(const std::filesystem::path& file) const;
    // The window's own pixels with their alpha, as a compositing manager would blend them
    // over the desktop (Xvfb has none: the screen shows translucent pixels black).
    QImage window_pixels(const std::string& window) const;

    // A session bus with the accessibility bus on it, for the programs started after this
    // (Qt's bridge always on); why it cannot run, empty when it runs.
    std::string start_accessibility();
    // One object of a program's accessibility tree, as a screen reader reads it.
    struct Accessible {
        int depth = 0;
        std::string role, name, value, description;
    };
    // The program's tree, parents before children; empty while the program has none.
    std::vector<Accessible> accessible_tree(pid_t pid) const;

private:
    // Starts Xvfb on display :number; true when it came up and answers there.
    bool start_server(int number, QSize screen);
    // Runs an X tool to its end; its standard output, or throws when it fails.
    std::string run(const std::string& tool, const std::vector<std::string>& args) const;

    ScopedEnv env_;
    std::filesystem::path dir_;
    std::string display_;
    std::unique_ptr<ChildProcess> server_;
    std::unique_ptr<ChildProcess> window_manager_;
    std::unique_ptr<ChildProcess> session_bus_;
    std::unique_ptr<ChildProcess> accessibility_bus_;
};

}  // namespace castmill::test
