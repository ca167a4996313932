#pragma once

#include <functional>

// A request from outside to stop the program: SIGINT, SIGTERM or SIGHUP on POSIX (logout
// and shutdown send SIGTERM); Ctrl+C, Ctrl+Break, a closed console, and log-off or shutdown
// (a console event, or the session-end messages every program with a window gets) on Windows.
namespace velora::sys {

// While it lives, each such request calls on_interrupt on a thread of the watch's own
// (never inside a signal handler) instead of ending the process. One watch at a time;
// the previous handling comes back when it is destroyed. On Windows the end of the session
// waits until the watch is destroyed, so that the run can end its step first.
class InterruptWatch {
public:
    explicit InterruptWatch(std::function<void()> on_interrupt);
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

private:
    bool watching_ = false;  // false when another watch was active or the set-up failed
};

}  // namespace velora::sys
