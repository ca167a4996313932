#include <windows.h>

#include <mutex>

#include "sys/interrupt.h"

namespace velora::sys {

namespace {

std::mutex watch_lock;
std::function<void()>* active = nullptr;

// Windows runs console handlers on a thread of their own already.
BOOL WINAPI on_console_event(DWORD) {
    std::function<void()> callback;
    {
        std::lock_guard lock(watch_lock);
        if (active == nullptr) return FALSE;
        callback = *active;
    }
    callback();
    return TRUE;
}

}  // namespace

InterruptWatch::InterruptWatch(std::function<void()> on_interrupt) {
    std::lock_guard lock(watch_lock);
    if (active != nullptr) return;
    active = new std::function<void()>(std::move(on_interrupt));
    if (!SetConsoleCtrlHandler(on_console_event, TRUE)) {
        delete active;
        active = nullptr;
        return;
    }
    watching_ = true;
}

InterruptWatch::~InterruptWatch() {
    if (!watching_) return;
    SetConsoleCtrlHandler(on_console_event, FALSE);
    std::lock_guard lock(watch_lock);
    delete active;
    active = nullptr;
}

}  // namespace velora::sys
