#include <windows.h>

#include <stdexcept>

#include "support/command_line_win.h"
#include "support/running_program.h"

namespace castmill::test {

struct RunningProgram::Pipes {
    HANDLE process = nullptr;
    HANDLE to_child = nullptr;
    HANDLE from_child = nullptr;
};

namespace {

// A pipe whose `inherited` end (0 read, 1 write) is handed to the child.
void make_pipe(HANDLE ends[2], int inherited) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    if (!CreatePipe(&ends[0], &ends[1], &inherit, 0)) throw std::runtime_error("CreatePipe");
    SetHandleInformation(ends[1 - inherited], HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

RunningProgram::RunningProgram(const std::filesystem::path& program)
    : pipes_(std::make_unique<Pipes>()) {
    HANDLE in[2];
    HANDLE out[2];
    make_pipe(in, 0);
    make_pipe(out, 1);
    const std::filesystem::path file = program_file(program);
    std::wstring line = command_line_of(file, {});
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in[0];
    startup.hStdOutput = out[1];
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessW(file.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &info);
    const DWORD error = GetLastError();
    CloseHandle(in[0]);
    CloseHandle(out[1]);
    pipes_->to_child = in[1];
    pipes_->from_child = out[0];
    if (!started) {
        CloseHandle(pipes_->to_child);
        CloseHandle(pipes_->from_child);
        throw std::runtime_error("cannot start " + file.string() + ": error " +
                                 std::to_string(error));
    }
    CloseHandle(info.hThread);
    pipes_->process = info.hProcess;
    pid_ = static_cast<pid_t>(info.dwProcessId);
}

RunningProgram::~RunningProgram() {
    CloseHandle(pipes_->to_child);
    CloseHandle(pipes_->from_child);
    TerminateProcess(pipes_->process, 1);
    WaitForSingleObject(pipes_->process, INFINITE);
    CloseHandle(pipes_->process);
}

std::string RunningProgram::exchange(const std::string& line) {
    const std::string text = line + "\n";
    DWORD written = 0;
    if (!WriteFile(pipes_->to_child, text.data(), static_cast<DWORD>(text.size()), &written,
                   nullptr) ||
        written != text.size())
        return {};
    std::string answer;
    char c = 0;
    DWORD got = 0;
    while (ReadFile(pipes_->from_child, &c, 1, &got, nullptr) && got == 1 && c != '\n') {
        if (c != '\r') answer += c;
    }
    return answer;
}

std::filesystem::path RunningProgram::image() const {
    std::wstring buffer(32768, L'\0');
    DWORD length = static_cast<DWORD>(buffer.size());
    if (!QueryFullProcessImageNameW(pipes_->process, 0, buffer.data(), &length)) return {};
    buffer.resize(length);
    return buffer;
}

}  // namespace castmill::test
