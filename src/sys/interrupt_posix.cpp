#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>

#include "sys/interrupt.h"

namespace velora::sys {

namespace {

// The handler only writes a byte; the watch thread reads it and runs the callback, which
// may take locks and allocate.
int wake_pipe[2] = {-1, -1};
constexpr char kInterrupted = 'i';
constexpr char kStop = 's';
// SIGHUP: the terminal or the session went away, as at logout.
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

struct Watch {
    std::function<void()> on_interrupt;
    std::thread thread;
    struct sigaction previous[kSignalCount];
};
std::mutex watch_lock;
Watch* active = nullptr;

extern "C" void on_signal(int) {
    const int saved = errno;
    const char byte = kInterrupted;
    [[maybe_unused]] const ssize_t written = write(wake_pipe[1], &byte, 1);
    errno = saved;
}

void watch_loop(Watch* watch) {
    for (;;) {
        char byte = 0;
        const ssize_t got = read(wake_pipe[0], &byte, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || byte == kStop) return;
        watch->on_interrupt();
    }
}

}  // namespace

InterruptWatch::InterruptWatch(std::function<void()> on_interrupt) {
    std::lock_guard lock(watch_lock);
    if (active != nullptr || pipe(wake_pipe) != 0) return;
    for (int fd : wake_pipe) fcntl(fd, F_SETFD, FD_CLOEXEC);
    active = new Watch{std::move(on_interrupt), {}, {}};
    active->thread = std::thread(watch_loop, active);
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // Interrupted system calls of the run go on as if nothing happened.
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &action, &active->previous[i]);
    watching_ = true;
}

InterruptWatch::~InterruptWatch() {
    if (!watching_) return;
    std::lock_guard lock(watch_lock);
    for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &active->previous[i], nullptr);
    const char byte = kStop;
    [[maybe_unused]] const ssize_t written = write(wake_pipe[1], &byte, 1);
    active->thread.join();
    for (int& fd : wake_pipe) {
        close(fd);
        fd = -1;
    }
    delete active;
    active = nullptr;
}

}  // namespace velora::sys
