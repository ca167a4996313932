#include <windows.h>

#include <future>
#include <mutex>
#include <thread>

#include "sys/interrupt.h"

namespace velora::sys {

namespace {

std::mutex watch_lock;
std::function<void()>* active = nullptr;
// Set when the watch goes: the run has ended and the session may end with it.
HANDLE run_over = nullptr;
std::thread session_thread;
DWORD session_thread_id = 0;

void notify() {
    std::function<void()> callback;
    {
        std::lock_guard lock(watch_lock);
        if (active == nullptr) return;
        callback = *active;
    }
    callback();
}

// Windows runs console handlers on a thread of their own already.
BOOL WINAPI on_console_event(DWORD) {
    notify();
    return TRUE;
}

// A program that has a window is sent no console event at log-off or shutdown: each of
// its top-level windows gets WM_QUERYENDSESSION and then WM_ENDSESSION, and the process
// may be ended once that returns. A hidden window on a thread of its own hears them for the
// window and the unattended run alike, and holds the end back until the run is over.
LRESULT CALLBACK on_session_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_QUERYENDSESSION:
            notify();
            return TRUE;
        case WM_ENDSESSION:
            if (wparam) {
                notify();
                ::WaitForSingleObject(run_over, INFINITE);
            }
            return 0;
        default:
            return ::DefWindowProcW(window, message, wparam, lparam);
    }
}

constexpr const wchar_t* kSessionWindowClass = L"VeloraCastmillSetupSessionEnd";

void session_loop(std::promise<DWORD> started) {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = on_session_message;
    window_class.hInstance = instance;
    window_class.lpszClassName = kSessionWindowClass;
    ::RegisterClassW(&window_class);
    // Top-level, never shown: a message-only window is left out of the session's messages.
    HWND window = ::CreateWindowExW(0, kSessionWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                                    nullptr, instance, nullptr);
    // The queue exists from the first call that touches it; the watch may post to it now.
    MSG message;
    ::PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    started.set_value(::GetCurrentThreadId());
    while (window != nullptr && ::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    if (window != nullptr) ::DestroyWindow(window);
    ::UnregisterClassW(kSessionWindowClass, instance);
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
    run_over = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::promise<DWORD> started;
    std::future<DWORD> thread_id = started.get_future();
    session_thread = std::thread(session_loop, std::move(started));
    session_thread_id = thread_id.get();
    watching_ = true;
}

InterruptWatch::~InterruptWatch() {
    if (!watching_) return;
    SetConsoleCtrlHandler(on_console_event, FALSE);
    // A session end that waits for the run lets go first, then the thread ends.
    if (run_over != nullptr) ::SetEvent(run_over);
    ::PostThreadMessageW(session_thread_id, WM_QUIT, 0, 0);
    session_thread.join();
    if (run_over != nullptr) ::CloseHandle(run_over);
    run_over = nullptr;
    std::lock_guard lock(watch_lock);
    delete active;
    active = nullptr;
}

}  // namespace velora::sys
