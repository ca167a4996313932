// The Windows headers need windows.h first.
// clang-format off
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>
// clang-format on

#include <string>

#include "base/wide_text_win.h"
#include "sys/error_code.h"
#include "sys/shell.h"

namespace velora::sys {

namespace fs = std::filesystem;

namespace {

int show_command(ShowWindow show) {
    switch (show) {
        case ShowWindow::Hidden:
            return SW_HIDE;
        case ShowWindow::Maximized:
            return SW_SHOWMAXIMIZED;
        case ShowWindow::Normal:
            break;
    }
    return SW_SHOWNORMAL;
}

// ShellExecuteExW with the process handle asked for; waits for the program when
// `wait_ms` is not zero (INFINITE for no limit).
int start(const wchar_t* verb, const fs::path& file, const std::string& params, ShowWindow show,
          DWORD wait_ms, ShellStart* started) {
    if (file.empty()) return kErrorFileNotFound;
    const std::wstring wide_params = widen(params);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = verb;
    info.lpFile = file.c_str();
    info.lpParameters = wide_params.empty() ? nullptr : wide_params.c_str();
    info.lpDirectory = nullptr;
    info.nShow = show_command(show);
    if (!ShellExecuteExW(&info)) return static_cast<int>(GetLastError());
    ShellStart result;
    if (info.hProcess) {
        result.has_process = true;
        if (wait_ms != 0 && WaitForSingleObject(info.hProcess, wait_ms) == WAIT_OBJECT_0) {
            DWORD code = 0;
            if (GetExitCodeProcess(info.hProcess, &code)) result.exit_code = code;
        }
        CloseHandle(info.hProcess);
    }
    if (started) *started = result;
    return kErrorSuccess;
}

// COM for this thread while it lives; released only when this call initialised it.
class ComScope {
public:
    ComScope() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(result_)) CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    // RPC_E_CHANGED_MODE: the thread already runs COM in another mode, usable as it is.
    bool usable() const { return SUCCEEDED(result_) || result_ == RPC_E_CHANGED_MODE; }

private:
    HRESULT result_;
};

template <typename T>
struct Released {
    T* pointer = nullptr;
    ~Released() {
        if (pointer) pointer->Release();
    }
};

}  // namespace

std::string param_word(std::string_view text, bool always_quote) {
    // Quoted as CommandLineToArgvW and the C runtime read it back: backslashes are
    // literal unless they precede a double quote.
    if (!always_quote && !text.empty() && text.find_first_of(" \t\n\v\"") == std::string::npos)
        return std::string(text);
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : text) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

int shell_execute(const fs::path& file, const std::string& params, ShowWindow show, bool wait,
                  ShellStart* started) {
    return start(nullptr, file, params, show, wait ? INFINITE : 0, started);
}

int launch_elevated(const fs::path& file, const std::string& params, ShowWindow show, bool wait,
                    ShellStart* started) {
    return start(L"runas", file, params, show, wait ? INFINITE : 0, started);
}

bool is_elevated() {
    SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt_authority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators))
        return false;
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
    FreeSid(administrators);
    return member != FALSE;
}

void allow_any_foreground_window() { AllowSetForegroundWindow(ASFW_ANY); }

fs::path shortcut_file(const fs::path& link) { return link; }

bool create_shortcut(const fs::path& target, const fs::path& link, const std::string& args,
                     const std::string& description, const fs::path& workdir) {
    if (target.empty() || link.empty()) return false;
    const ComScope com;
    if (!com.usable()) return false;
    Released<IShellLinkW> shell_link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&shell_link.pointer))))
        return false;
    IShellLinkW* sl = shell_link.pointer;
    if (FAILED(sl->SetPath(target.c_str()))) return false;
    if (FAILED(sl->SetArguments(widen(args).c_str()))) return false;
    if (!description.empty() && FAILED(sl->SetDescription(widen(description).c_str())))
        return false;
    if (!workdir.empty() && FAILED(sl->SetWorkingDirectory(workdir.c_str()))) return false;
    Released<IPersistFile> file;
    if (FAILED(sl->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file.pointer))))
        return false;
    return SUCCEEDED(file.pointer->Save(link.c_str(), TRUE));
}

int register_com_server(const fs::path& server, std::chrono::milliseconds wait) {
    const std::string params = "/s " + param_word(narrow(server.wstring()), true);
    const auto wait_ms = static_cast<DWORD>(wait.count() > 0 ? wait.count() : 0);
    // Zero asks for no wait at all; the registration still runs.
    return start(L"runas", fs::path(L"regsvr32.exe"), params, ShowWindow::Hidden, wait_ms, nullptr);
}

}  // namespace velora::sys
