// A small program the process tests start and stop (Windows).
//   proc_helper exit CODE                 ends at once with CODE
//   proc_helper args OUT WORD...          writes each WORD on its own line to OUT
//   proc_helper sleep READY [options]     shows a window and waits until it is stopped;
//                                         READY (holding the process id) is created once
//                                         it is set up. A close request ends it with 15.
//                                         Options:
//     --ignore-close  does not end on a close request (WM_CLOSE)
//     --hold FILE     keeps FILE open without sharing it for writing or deletion
//     --map FILE      maps FILE into memory and closes the file handle
//   proc_helper env NAME OUT              writes the variable's value (UTF-8) to OUT;
//                                         ends with 1 when it is not set
//   proc_helper mutex NAME DIR READY      owns the mutex NAME of DIR, creates READY, waits
//   proc_helper shutdown DIR GRACE_MS NAME...
//                                         runs the suite shutdown for DIR and NAMEs and
//                                         ends with its result
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "base/wide_text_win.h"
#include "sys/named_mutex.h"
#include "sys/processes.h"

namespace {

constexpr int kClosedExitCode = 15;
bool ignore_close = false;

int usage() {
    std::fprintf(stderr,
                 "usage: proc_helper exit CODE | args OUT WORD... | sleep READY [...] | "
                 "env NAME OUT | mutex NAME DIR READY | shutdown DIR GRACE_MS NAME...\n");
    return 64;
}

bool hold_file(const char* path) {
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr) != INVALID_HANDLE_VALUE;
}

bool map_file(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    CloseHandle(file);
    if (!mapping) return false;
    // The view keeps the file mapped after both handles are closed.
    const bool mapped = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) != nullptr;
    CloseHandle(mapping);
    return mapped;
}

// Created under a temporary name and renamed, so that its presence means "ready".
bool announce_ready(const std::string& ready) {
    const std::string temporary = ready + ".tmp";
    {
        std::ofstream out(temporary);
        out << GetCurrentProcessId() << '\n';
        if (!out) return false;
    }
    return MoveFileExA(temporary.c_str(), ready.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_CLOSE) {
        if (!ignore_close) ExitProcess(kClosedExitCode);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

bool show_window() {
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"CastmillProcHelper";
    if (!RegisterClassW(&window_class)) return false;
    HWND window =
        CreateWindowExW(0, window_class.lpszClassName, L"proc_helper", WS_OVERLAPPEDWINDOW, 0, 0,
                        200, 100, nullptr, nullptr, window_class.hInstance, nullptr);
    if (!window) return false;
    ShowWindow(window, SW_SHOWNOACTIVATE);
    return true;
}

int run_sleep(int argc, char** argv) {
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--ignore-close") == 0) {
            ignore_close = true;
        } else if (std::strcmp(argv[i], "--hold") == 0 && i + 1 < argc) {
            if (!hold_file(argv[++i])) return 2;
        } else if (std::strcmp(argv[i], "--map") == 0 && i + 1 < argc) {
            if (!map_file(argv[++i])) return 3;
        } else {
            return usage();
        }
    }
    if (!show_window()) return 6;
    if (!announce_ready(argv[2])) return 4;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    const std::string mode = argv[1];
    if (mode == "exit") return std::atoi(argv[2]);
    if (mode == "args") {
        std::ofstream out(argv[2], std::ios::binary);
        for (int i = 3; i < argc; ++i) out << argv[i] << '\n';
        return out ? 0 : 5;
    }
    if (mode == "sleep") return run_sleep(argc, argv);
    if (mode == "env" && argc == 4) {
        const wchar_t* value = _wgetenv(velora::sys::widen(argv[2]).c_str());
        if (!value) return 1;
        std::ofstream out(argv[3], std::ios::binary);
        out << velora::sys::narrow(value);
        return out ? 0 : 5;
    }
    if (mode == "mutex" && argc == 5) {
        const auto mutex = velora::sys::NamedMutex::create_owned(argv[2], argv[3]);
        if (!mutex || !announce_ready(argv[4])) return 7;
        for (;;) Sleep(INFINITE);
    }
    if (mode == "shutdown" && argc >= 4) {
        const std::set<std::string> names(argv + 4, argv + argc);
        return velora::sys::wait_for_processer(argv[2], names,
                                               std::chrono::milliseconds(std::atoi(argv[3])));
    }
    return usage();
}
