// The Windows headers need windows.h first.
// clang-format off
#include <windows.h>
#include <psapi.h>
#include <restartmanager.h>
// clang-format on

#include <algorithm>
#include <memory>
#include <string>

#include "base/logger.h"
#include "base/wide_text_win.h"
#include "sys/error_code.h"
#include "sys/processes.h"

namespace velora::sys {

namespace {

namespace fs = std::filesystem;

struct HandleCloser {
    void operator()(HANDLE handle) const {
        if (handle) CloseHandle(handle);
    }
};
using Handle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

// The image path as the kernel names it: \Device\HarddiskVolume3\Program Files\...
std::optional<std::wstring> device_image(ProcessId pid) {
    Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return std::nullopt;
    std::wstring buffer(MAX_PATH + 1, L'\0');
    for (;;) {
        const DWORD length = K32GetProcessImageFileNameW(process.get(), buffer.data(),
                                                         static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() >= 32768)
                return std::nullopt;
            buffer.resize(buffer.size() * 2);
            continue;
        }
        buffer.resize(length);
        return buffer;
    }
}

// The image path in drive-letter form, for messages.
std::optional<fs::path> win32_image(ProcessId pid) {
    Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return std::nullopt;
    std::wstring buffer(32768, L'\0');
    DWORD length = static_cast<DWORD>(buffer.size());
    if (!QueryFullProcessImageNameW(process.get(), 0, buffer.data(), &length)) return std::nullopt;
    buffer.resize(length);
    return fs::path(buffer);
}

bool same_text_ignoring_case(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The device path of a drive-letter path ("C:\x" -> "\Device\HarddiskVolume3\x");
// nullopt when the drive has no device name.
std::optional<std::wstring> device_form(const std::wstring& path) {
    if (path.size() < 2 || path[1] != L':') return std::nullopt;
    const std::wstring drive = path.substr(0, 2);
    wchar_t device[MAX_PATH] = {};
    if (QueryDosDeviceW(drive.c_str(), device, MAX_PATH) == 0) return std::nullopt;
    return std::wstring(device) + path.substr(2);
}

struct WindowSearch {
    DWORD pid = 0;
    HWND window = nullptr;
};

BOOL CALLBACK find_process_window(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<WindowSearch*>(data);
    DWORD owner_pid = 0;
    GetWindowThreadProcessId(window, &owner_pid);
    if (owner_pid != search->pid || GetWindow(window, GW_OWNER) != nullptr ||
        !IsWindowVisible(window))
        return TRUE;
    search->window = window;
    return FALSE;
}

}  // namespace

std::optional<std::vector<ProcessInfo>> list_processes() {
    // Grow the id buffer until the list fits: a full buffer may have cut it short.
    std::vector<DWORD> ids(1024);
    DWORD bytes = 0;
    for (;;) {
        const DWORD capacity = static_cast<DWORD>(ids.size() * sizeof(DWORD));
        if (!K32EnumProcesses(ids.data(), capacity, &bytes)) return std::nullopt;
        if (bytes < capacity) break;
        ids.resize(ids.size() * 2);
    }
    ids.resize(bytes / sizeof(DWORD));
    std::vector<ProcessInfo> processes;
    for (DWORD pid : ids) {
        if (pid == 0) continue;
        if (auto image = device_image(pid)) processes.push_back({pid, fs::path(*image)});
    }
    return processes;
}

bool image_in_directory(const fs::path& image, const fs::path& dir) {
    // Program files are listed by device path; the directory is a drive-letter path.
    // Compare from the device on, whole folder names, ignoring case as the file system does.
    const std::wstring image_text = image.wstring();
    std::error_code ec;
    const fs::path absolute_dir = fs::absolute(dir, ec);
    if (ec || dir.empty()) return false;
    std::wstring dir_text = absolute_dir.lexically_normal().wstring();
    while (!dir_text.empty() && is_separator(dir_text.back())) dir_text.pop_back();
    const auto device_dir = device_form(dir_text);
    if (!device_dir || device_dir->empty()) return false;
    if (image_text.size() <= device_dir->size() + 1) return false;
    return same_text_ignoring_case(std::wstring_view(image_text).substr(0, device_dir->size()),
                                   *device_dir) &&
           is_separator(image_text[device_dir->size()]);
}

bool request_close(ProcessId pid) {
    WindowSearch search{pid, nullptr};
    EnumWindows(find_process_window, reinterpret_cast<LPARAM>(&search));
    if (!search.window) return false;
    // Posted, not sent: a hung program must not stall the installer.
    return PostMessageW(search.window, WM_CLOSE, 0, 0) != FALSE;
}

bool terminate(ProcessId pid) {
    Handle process(OpenProcess(PROCESS_TERMINATE, FALSE, pid));
    return process && TerminateProcess(process.get(), 0) != FALSE;
}

WaitResult wait_all(const std::vector<ProcessId>& pids, std::chrono::milliseconds timeout) {
    std::vector<Handle> handles;
    for (ProcessId pid : pids) {
        // A process that cannot be opened has ended, or is not ours to wait for.
        Handle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
        if (process) handles.push_back(std::move(process));
    }
    // One wait covers at most MAXIMUM_WAIT_OBJECTS handles; wait group by group
    // against one deadline.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (size_t first = 0; first < handles.size(); first += MAXIMUM_WAIT_OBJECTS) {
        const size_t count = std::min<size_t>(MAXIMUM_WAIT_OBJECTS, handles.size() - first);
        std::vector<HANDLE> group;
        for (size_t i = first; i < first + count; ++i) group.push_back(handles[i].get());
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const DWORD wait_ms = static_cast<DWORD>(std::max<long long>(0, left.count()));
        const DWORD result =
            WaitForMultipleObjects(static_cast<DWORD>(count), group.data(), TRUE, wait_ms);
        if (result == WAIT_TIMEOUT) return WaitResult::TimedOut;
        if (result == WAIT_FAILED) return WaitResult::Failed;
    }
    return WaitResult::AllEnded;
}

ProcessId current_process_id() { return GetCurrentProcessId(); }

bool execute_command_line(const std::string& command_line, std::uint32_t& exit_code, bool wait) {
    std::wstring line = widen(command_line);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    // CreateProcessW may write into the command line; it gets its own copy.
    if (line.empty() || !CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE,
                                        CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                                        &startup, &info)) {
        exit_code = line.empty() ? static_cast<std::uint32_t>(kErrorFileNotFound)
                                 : static_cast<std::uint32_t>(GetLastError());
        log_tagged(kLogWarning, "ExecuteCommandLine[%ls] failed code[%d]", command_line,
                   static_cast<int>(exit_code));
        return false;
    }
    Handle process(info.hProcess);
    Handle thread(info.hThread);
    if (wait) WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code)) {
        log_tagged(kLogWarning, "ExecuteCommandLine[%ls] but couldn't get exit code.",
                   command_line);
        return false;
    }
    exit_code = code;
    return true;
}

std::vector<HoldingProgram> programs_holding(const std::vector<fs::path>& paths) {
    std::vector<HoldingProgram> holders;
    if (paths.empty()) return holders;
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (RmStartSession(&session, 0, key) != ERROR_SUCCESS) return holders;

    std::vector<std::wstring> names;
    for (const fs::path& path : paths) names.push_back(path.wstring());
    std::vector<LPCWSTR> files;
    for (const std::wstring& name : names) files.push_back(name.c_str());

    std::vector<RM_PROCESS_INFO> found;
    if (RmRegisterResources(session, static_cast<UINT>(files.size()), files.data(), 0, nullptr, 0,
                            nullptr) == ERROR_SUCCESS) {
        // The list can grow between the calls; ask again until it fits.
        UINT needed = 0;
        UINT count = 0;
        DWORD reasons = 0;
        DWORD rc = ERROR_MORE_DATA;
        for (int attempt = 0; attempt < 8 && rc == ERROR_MORE_DATA; ++attempt) {
            found.resize(std::max<UINT>(needed, 1));
            count = static_cast<UINT>(found.size());
            rc = RmGetList(session, &needed, &count, found.data(), &reasons);
        }
        found.resize(rc == ERROR_SUCCESS ? count : 0);
    }
    RmEndSession(session);

    const ProcessId self = current_process_id();
    for (const RM_PROCESS_INFO& entry : found) {
        const ProcessId pid = entry.Process.dwProcessId;
        if (pid == self) continue;
        if (std::any_of(holders.begin(), holders.end(),
                        [pid](const HoldingProgram& h) { return h.pid == pid; }))
            continue;
        HoldingProgram holder;
        holder.pid = pid;
        holder.image = win32_image(pid).value_or(fs::path());
        holder.name = holder.image.empty() ? narrow(entry.strAppName)
                                           : narrow(holder.image.filename().wstring());
        holders.push_back(std::move(holder));
    }
    return holders;
}

}  // namespace velora::sys
