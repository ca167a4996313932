#include <gtest/gtest.h>
#include <windows.h>

#include <cwchar>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

#include "base/wide_text_win.h"
#include "support/command_line_win.h"
#include "support/program_run.h"
#include "support/scoped_env.h"
#include "support/test_env.h"
#include "sys/folders.h"

namespace castmill::test {

namespace fs = std::filesystem;

namespace {

struct NameLess {
    // Windows sorts its environment block by name without regard to case.
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        return _wcsicmp(a.c_str(), b.c_str()) < 0;
    }
};

// This process's environment with the options' changes, as a CreateProcessW block.
std::wstring environment_block(const ProgramOptions& options) {
    std::map<std::wstring, std::wstring, NameLess> vars;
    LPWCH current = GetEnvironmentStringsW();
    for (const wchar_t* entry = current; *entry; entry += std::wcslen(entry) + 1) {
        // Entries such as "=C:=C:\dir" start with '='; their name runs to the next one.
        const wchar_t* eq = std::wcschr(entry + 1, L'=');
        if (eq) vars[std::wstring(entry, eq)] = eq + 1;
    }
    FreeEnvironmentStringsW(current);
    for (const auto& [name, value] : options.env) {
        if (value && !value->empty())
            vars[velora::sys::widen(name)] = velora::sys::widen(*value);
        else
            vars.erase(velora::sys::widen(name));
    }
    std::wstring block;
    for (const auto& [name, value] : vars) block += name + L"=" + value + L'\0';
    block += L'\0';
    return block;
}

HANDLE output_file(const fs::path& file) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot prepare the child's output " + file.string());
    return handle;
}

std::string read_text(const fs::path& file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The text of an OUTPUT_DEBUG_STRING_EVENT as UTF-8.
std::string debug_text(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
    const size_t chars = info.nDebugStringLength;
    if (chars == 0) return {};
    if (info.fUnicode) {
        std::wstring text(chars, L'\0');
        if (!ReadProcessMemory(process, info.lpDebugStringData, text.data(),
                               chars * sizeof(wchar_t), nullptr))
            return {};
        while (!text.empty() && text.back() == L'\0') text.pop_back();
        return velora::sys::narrow(text);
    }
    std::string text(chars, '\0');
    if (!ReadProcessMemory(process, info.lpDebugStringData, text.data(), chars, nullptr)) return {};
    while (!text.empty() && text.back() == '\0') text.pop_back();
    // The narrow form is in the ANSI code page.
    const int count =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), count);
    return velora::sys::narrow(wide);
}

// Runs the debugger loop until the program ends; returns its exit code and collects
// what it handed to the debugger.
DWORD debug_until_exit(HANDLE process, std::string& debug_output) {
    for (;;) {
        DEBUG_EVENT event{};
        if (!WaitForDebugEvent(&event, INFINITE)) throw std::runtime_error("WaitForDebugEvent");
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
            case CREATE_PROCESS_DEBUG_EVENT:
                if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
                break;
            case LOAD_DLL_DEBUG_EVENT:
                if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
                break;
            case OUTPUT_DEBUG_STRING_EVENT:
                debug_output += debug_text(process, event.u.DebugString);
                break;
            case EXCEPTION_DEBUG_EVENT:
                // The loader's first breakpoint is the debugger's to take; the rest are
                // the program's own.
                if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                    status = DBG_EXCEPTION_NOT_HANDLED;
                break;
            case EXIT_PROCESS_DEBUG_EVENT: {
                const DWORD code = event.u.ExitProcess.dwExitCode;
                ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
                return code;
            }
            default:
                break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
}

}  // namespace

ProgramRun run_program(const fs::path& program, const std::vector<std::string>& args,
                       const ProgramOptions& options) {
    TempDir capture;
    const fs::path out_file = capture / "out";
    const fs::path err_file = capture / "err";
    const fs::path file = program_file(program);
    std::wstring line = command_line_of(file, args);
    std::wstring environment = environment_block(options);

    HANDLE out = output_file(out_file);
    HANDLE err = output_file(err_file);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out;
    startup.hStdError = err;
    const DWORD flags =
        CREATE_UNICODE_ENVIRONMENT | (options.traced ? DEBUG_ONLY_THIS_PROCESS : DWORD{0});
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessW(file.c_str(), line.data(), nullptr, nullptr, TRUE, flags,
                                        environment.data(), nullptr, &startup, &info);
    const DWORD error = GetLastError();
    CloseHandle(out);
    CloseHandle(err);
    if (!started)
        throw std::runtime_error("cannot start " + file.string() + ": error " +
                                 std::to_string(error));
    CloseHandle(info.hThread);

    ProgramRun run;
    std::string debug_output;
    DWORD code = 0;
    if (options.traced) {
        code = debug_until_exit(info.hProcess, debug_output);
        WaitForSingleObject(info.hProcess, INFINITE);
    } else {
        WaitForSingleObject(info.hProcess, INFINITE);
        GetExitCodeProcess(info.hProcess, &code);
    }
    CloseHandle(info.hProcess);
    run.exit_code = static_cast<int>(code);
    // Read in text mode, as the program's C runtime wrote them: CR LF comes back as LF.
    run.out = read_text(out_file);
    // The POSIX layer hands debugger output to standard error; here it joins it there.
    run.err = read_text(err_file) + debug_output;
    return run;
}

namespace {

constexpr const char* kChildVariable = "CASTMILL_TEST_CHILD";

// "Suite.Test#n" for the n-th call of run_in_child_process in the running test.
std::string next_child_name() {
    static std::string test;
    static int calls = 0;
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (!info) throw std::logic_error("run_in_child_process outside a test");
    const std::string name = std::string(info->test_suite_name()) + "." + info->name();
    if (name != test) {
        test = name;
        calls = 0;
    }
    return name + "#" + std::to_string(++calls);
}

}  // namespace

bool run_in_child_process(const std::function<void()>& body) {
    const std::string child = next_child_name();
    const auto running = get_env(kChildVariable);
    if (running) {
        // Inside a copy: only the call it was started for runs its body.
        if (*running == child) body();
        return true;
    }
    const std::string test = child.substr(0, child.find('#'));
    ProgramOptions options;
    options.env = {{kChildVariable, child}};
    const auto self = velora::sys::executable_path();
    if (!self) throw std::runtime_error("no path of this test program");
    const ProgramRun run = run_program(*self, {"--gtest_filter=" + test}, options);
    if (run.exit_code != 0) ADD_FAILURE() << child << " in a copy of this process:\n" << run.out;
    return run.exit_code == 0;
}

}  // namespace castmill::test
