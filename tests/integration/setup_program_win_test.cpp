// The real setup.exe, unattended, against the local distribution server that
// scripts/wine-test starts on the build machine. Everything the installer touches on
// Windows is read back through the Windows API: the installed tree, the uninstall
// key, the shell links, the Vulkan layer, the single-instance guard and the running
// browser it has to stop.
//
// The script passes: CASTMILL_*_HOST (the server), CASTMILL_E2E_SUITE (the released
// suite), CASTMILL_E2E_OLD_SUITE (the installed suite an update starts from) and
// CASTMILL_E2E_REPORTS (the server's file of accepted reports).
#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/startup.h"
#include "base/utf8_path.h"
#include "base/wide_text_win.h"
#include "support/test_env.h"
#include "sys/named_mutex.h"

namespace {

namespace fs = std::filesystem;
namespace test = castmill::test;
using namespace std::chrono_literals;
using velora::sys::narrow;
using velora::sys::widen;

constexpr const wchar_t* kUninstallKey =
    L"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Castmill";
constexpr const wchar_t* kProductKey = L"SOFTWARE\\WOW6432Node\\Castmill";
constexpr const wchar_t* kVulkanLayersKey = L"SOFTWARE\\Khronos\\Vulkan\\ImplicitLayers";

fs::path env_path(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0')
        throw std::runtime_error(std::string(name) + " is not set: run scripts/wine-test");
    return velora::sys::path_from_utf8(value);
}

// Relative path to content of every regular file below dir.
std::map<std::string, std::string> file_tree(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), dir).generic_string()] = test::read_file(entry.path());
    }
    return files;
}

class Handle {
public:
    explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
    ~Handle() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// Starts program with a command line (after the program name) in a working folder.
// stdin_pipe: the program reads a pipe this side keeps open, so it cannot see an end.
// output: where its standard output and error go instead of this program's.
struct Started {
    PROCESS_INFORMATION info{};
    HANDLE stdin_write = nullptr;
};

Started start(const fs::path& program, const std::string& arguments, const fs::path& workdir,
              bool stdin_pipe = false, HANDLE output = nullptr) {
    std::wstring line = L"\"" + program.wstring() + L"\" " + widen(arguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    Started started;
    HANDLE stdin_read = nullptr;
    const bool redirect = stdin_pipe || output != nullptr;
    if (redirect) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = output != nullptr ? output : GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = output != nullptr ? output : GetStdHandle(STD_ERROR_HANDLE);
    }
    if (stdin_pipe) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        if (!CreatePipe(&stdin_read, &started.stdin_write, &inherit, 0))
            throw std::runtime_error("CreatePipe failed");
        SetHandleInformation(started.stdin_write, HANDLE_FLAG_INHERIT, 0);
        startup.hStdInput = stdin_read;
    }
    const BOOL ok = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, redirect, 0,
                                   nullptr, workdir.c_str(), &startup, &started.info);
    if (stdin_read != nullptr) CloseHandle(stdin_read);
    if (!ok) throw std::runtime_error("cannot start " + program.string());
    return started;
}

// Runs setup.exe to its end with its output in a file; its exit code.
DWORD run_setup(const std::string& command_line, const fs::path& workdir,
                const fs::path& output_file) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    Handle output(CreateFileW(output_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (output.get() == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create output");
    const Started setup = start(test::bin_dir() / "setup.exe", "--exit-pause-ms=0 " + command_line,
                                workdir, false, output.get());
    Handle process(setup.info.hProcess);
    Handle thread(setup.info.hThread);
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

std::optional<std::wstring> registry_string(const wchar_t* key, const wchar_t* name) {
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) !=
        ERROR_SUCCESS)
        return std::nullopt;
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, text.data(), &bytes) !=
        ERROR_SUCCESS)
        return std::nullopt;
    text.resize(wcslen(text.c_str()));
    return text;
}

std::optional<DWORD> registry_dword(const wchar_t* key, const wchar_t* name) {
    DWORD value = 0;
    DWORD bytes = sizeof value;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_DWORD, nullptr, &value, &bytes) !=
        ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

fs::path special_folder(int csidl) {
    wchar_t buffer[MAX_PATH] = {};
    if (!SHGetSpecialFolderPathW(nullptr, buffer, csidl, FALSE)) return {};
    return buffer;
}

// Where a shell link points and with which arguments.
struct LinkTarget {
    fs::path path;
    std::string arguments;
};

std::optional<LinkTarget> resolve_link(const fs::path& link) {
    IShellLinkW* shell_link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&shell_link))))
        return std::nullopt;
    std::optional<LinkTarget> result;
    IPersistFile* file = nullptr;
    if (SUCCEEDED(shell_link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        wchar_t path[MAX_PATH] = {};
        wchar_t arguments[4096] = {};
        if (SUCCEEDED(file->Load(link.c_str(), STGM_READ)) &&
            SUCCEEDED(shell_link->GetPath(path, MAX_PATH, nullptr, SLGP_RAWPATH)) &&
            SUCCEEDED(shell_link->GetArguments(arguments, 4096)))
            result = LinkTarget{path, narrow(arguments)};
        file->Release();
    }
    shell_link->Release();
    return result;
}

// The event codes the log service accepted, in order.
std::vector<std::string> events() {
    std::vector<std::string> codes;
    std::ifstream in(env_path("CASTMILL_E2E_REPORTS"));
    for (std::string line; std::getline(in, line);) {
        const auto report = nlohmann::json::parse(line, nullptr, false);
        if (report.is_object() && report.contains("fields"))
            codes.push_back(report["fields"].value("logNo", std::string()));
    }
    return codes;
}

class WindowsSetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        suite = env_path("CASTMILL_E2E_SUITE");
        fs::create_directories(parent());
        fs::copy(env_path("CASTMILL_E2E_OLD_SUITE"), installed(), fs::copy_options::recursive);
    }
    void TearDown() override { CoUninitialize(); }

    fs::path parent() const { return dir.path() / "install"; }
    fs::path installed() const { return parent() / "Castmill"; }
    fs::path browser() const { return installed() / "VeloraBrowser" / "Browser" / "chrome.exe"; }

    // The suite's own command line for a module update, unattended.
    std::string command_line(int modules) const {
        return velora::sys::utf8_of(test::bin_dir() / "setup.exe") +
               ";--install_dir=" + velora::sys::utf8_of(parent()) +
               ";--modules=" + std::to_string(modules) + ";--silent";
    }

    // setup.exe started by the suite from its folder; its console output goes to a file.
    DWORD run_setup(const std::string& line) const {
        return ::run_setup(line, installed(), dir.path() / "setup-output.txt");
    }
    std::string setup_output() const { return test::read_file(dir.path() / "setup-output.txt"); }

    void expect_release_installed() const {
        const auto wanted = file_tree(suite);
        const auto got = file_tree(installed());
        for (const auto& [path, content] : wanted) {
            const auto found = got.find(path);
            ASSERT_NE(found, got.end()) << path;
            EXPECT_EQ(found->second, content) << path;
        }
    }

    test::TempDir dir;
    fs::path suite;
};

TEST_F(WindowsSetupTest, ModuleUpdateInstallsRegistersLinksAndStartsTheBrowser) {
    ASSERT_EQ(run_setup(command_line(3)), 0u) << setup_output();
    expect_release_installed();
    EXPECT_NE(setup_output().find("done 100% "), std::string::npos) << setup_output();
    // The installer copied itself over the one of the earlier install.
    EXPECT_EQ(test::read_file(installed() / "Update/setup.exe"),
              test::read_file(test::bin_dir() / "setup.exe"));

    // The uninstall entry, every value of it, and the product key.
    const std::wstring parent_text = parent().wstring();
    EXPECT_EQ(registry_string(kProductKey, L""), parent_text);
    EXPECT_EQ(registry_string(kUninstallKey, L"DisplayName"), L"Castmill");
    EXPECT_EQ(registry_string(kUninstallKey, L"UninstallString"),
              (parent() / "uninstall.exe").wstring());
    EXPECT_EQ(registry_string(kUninstallKey, L"ProductID"),
              L"e41c7a09-5b3d-4f2e-9c61-08d2a7b3f5e4");
    EXPECT_EQ(registry_string(kUninstallKey, L"DisplayIcon"), browser().wstring());
    EXPECT_EQ(registry_string(kUninstallKey, L"Publisher"), L"Velora Project");
    EXPECT_EQ(registry_string(kUninstallKey, L"HelpLink"), L"");
    EXPECT_EQ(registry_string(kUninstallKey, L"DisplayVersion"), L"2.0.0");

    // Both shell links open the browser with its own profile folder.
    const std::string profile_argument =
        "--user-data-dir=" + velora::sys::utf8_of(parent() / "Chromium");
    for (const fs::path& link :
         {special_folder(CSIDL_COMMON_DESKTOPDIRECTORY) / "Castmill.lnk",
          special_folder(CSIDL_COMMON_PROGRAMS) / "Castmill" / "Castmill.lnk"}) {
        const auto target = resolve_link(link);
        ASSERT_TRUE(target) << link.string();
        EXPECT_TRUE(fs::equivalent(target->path, browser())) << target->path.string();
        EXPECT_EQ(target->arguments, profile_argument) << link.string();
    }

    // The browser was started with its profile folder.
    const fs::path marker = parent() / "Chromium" / "started.txt";
    for (int i = 0; i < 200 && !fs::exists(marker); ++i) std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(fs::exists(marker));
    EXPECT_NE(test::read_file(marker).find("--user-data-dir="), std::string::npos);

    const auto codes = events();
    std::vector<std::string> stages;
    for (const auto& code : codes) {
        if (code == "I9100" || code == "I9103" || code == "I9104" || code == "I9105")
            stages.push_back(code);
    }
    ASSERT_GE(stages.size(), 4u) << testing::PrintToString(codes);
    EXPECT_EQ(std::vector<std::string>(stages.end() - 4, stages.end()),
              (std::vector<std::string>{"I9100", "I9103", "I9104", "I9105"}));
}

TEST_F(WindowsSetupTest, StreamingModuleUpdateAnnouncesTheVulkanLayer) {
    // An earlier install's hook is replaced.
    const fs::path hook_folder = special_folder(CSIDL_COMMON_APPDATA) / "velora-obs-studio-hook";
    fs::create_directories(hook_folder);
    test::write_file(hook_folder / "graphics-hook64.dll", "an older hook");
    ASSERT_EQ(run_setup(command_line(2)), 0u) << setup_output();
    EXPECT_EQ(
        test::read_file(hook_folder / "graphics-hook64.dll"),
        test::read_file(suite / "VeloraOBS/data/obs-plugins/win-capture/graphics-hook64.dll"));
    const fs::path manifest =
        special_folder(CSIDL_COMMON_APPDATA) / "velora-obs-studio-hook" / "obs-vulkan64.json";
    EXPECT_TRUE(fs::is_regular_file(manifest));
    EXPECT_EQ(registry_dword(kVulkanLayersKey, manifest.c_str()), 0u);
}

TEST_F(WindowsSetupTest, SecondInstanceEndsWithMinusOneAndTouchesNothing) {
    auto first = velora::sys::NamedMutex::create_owned(velora::st::kAdminMutexName, installed());
    ASSERT_TRUE(first);
    const auto before = file_tree(installed());
    EXPECT_EQ(static_cast<int>(run_setup(command_line(3))), -1);
    EXPECT_NE(setup_output().find("report error: OpenMutex error"), std::string::npos);
    EXPECT_EQ(file_tree(installed()), before);
}

TEST_F(WindowsSetupTest, BrowserRunningFromTheInstallFolderIsStoppedAndReplaced) {
    // A browser that stays up until it is stopped, started from the installed folder.
    fs::remove(browser());
    fs::copy_file(test::test_programs_dir() / "idle_program.exe", browser());
    const Started browser_process = start(browser(), "", installed(), true);
    Handle process(browser_process.info.hProcess);
    Handle thread(browser_process.info.hThread);
    Handle keep_input(browser_process.stdin_write);
    ASSERT_EQ(WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    ASSERT_EQ(run_setup(command_line(3)), 0u) << setup_output();
    EXPECT_EQ(WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(test::read_file(browser()),
              test::read_file(suite / "VeloraBrowser/Browser/chrome.exe"));
}

}  // namespace
