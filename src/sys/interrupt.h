#pragma once

#include <functional>

// The console's request to stop a program that runs without a window: SIGINT, SIGTERM or
// SIGHUP on POSIX; Ctrl+C, Ctrl+Break, a closed console, log-off or shutdown on Windows.
namespace velora::sys {

// While it lives, each such request calls on_interrupt on a thread of the watch's own
// (never inside a signal handler) instead of ending the process. One watch at a time;
// the previous handling comes back when it is destroyed.
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
