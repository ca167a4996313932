#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sys/interrupt.h"

namespace {

using namespace std::chrono_literals;

template <typename Ready>
bool eventually(Ready ready) {
    for (int i = 0; i < 500 && !ready(); ++i) std::this_thread::sleep_for(10ms);
    return ready();
}

bool can_make_windows() {
    HWND window = ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                    ::GetModuleHandleW(nullptr), nullptr);
    if (window != nullptr) ::DestroyWindow(window);
    return window != nullptr;
}

// At log-off a program with windows gets no console event, only the session-end messages
// to its top-level windows: the watch's hidden window turns them into the interrupt and
// holds the end of the session until the run is over.
TEST(InterruptWatchOnWindows, TheSessionsEndInterruptsAndWaitsForTheRun) {
    std::atomic<int> interrupts{0};
    std::atomic<bool> session_ended{false};
    std::thread session;
    {
        velora::sys::InterruptWatch watch([&] { ++interrupts; });
        HWND window = ::FindWindowW(L"VeloraCastmillSetupSessionEnd", nullptr);
        if (window == nullptr && !can_make_windows())
            GTEST_SKIP() << "no windows here (Wine without a display)";
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(::SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
        EXPECT_EQ(interrupts, 1);
        session = std::thread([&] {
            ::SendMessageW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
            session_ended = true;
        });
        ASSERT_TRUE(eventually([&] { return interrupts == 2; }));
        EXPECT_FALSE(session_ended) << "the session ended while the run was still going";
    }
    session.join();
    EXPECT_TRUE(session_ended);
}

}  // namespace
