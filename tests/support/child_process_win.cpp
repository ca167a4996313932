#include <windows.h>

#include <stdexcept>

#include "support/child_process.h"
#include "support/command_line_win.h"

namespace castmill::test {

ChildProcess::ChildProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& args) {
    const std::filesystem::path file = program_file(program);
    std::wstring line = command_line_of(file, args);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(file.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        throw std::runtime_error("cannot start " + file.string() + ": error " +
                                 std::to_string(GetLastError()));
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    pid_ = static_cast<pid_t>(info.dwProcessId);
}

ChildProcess::~ChildProcess() {
    if (!status_) {
        TerminateProcess(process_, 1);
        wait();
    }
    CloseHandle(process_);
}

int ChildProcess::wait() {
    if (status_) return *status_;
    if (WaitForSingleObject(process_, INFINITE) != WAIT_OBJECT_0)
        throw std::runtime_error("cannot wait for the child");
    return *poll();
}

std::optional<int> ChildProcess::poll() {
    if (status_) return status_;
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    if (!GetExitCodeProcess(process_, &code)) throw std::runtime_error("no exit code");
    status_ = static_cast<int>(code);
    return status_;
}

}  // namespace castmill::test
