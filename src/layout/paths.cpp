#include "layout/paths.h"

#include <mutex>
#include <string>
#include <system_error>

#include "base/utf8_path.h"
#include "layout/castmill_install_layout.h"
#include "layout/modules.h"
#include "net/service_hosts.h"
#include "sys/folders.h"

namespace velora::st {

namespace fs = std::filesystem;

namespace {

struct Guarded {
    std::mutex lock;
    fs::path value;
};

Guarded& suite_root_cache() {
    static Guarded root;
    return root;
}

bool is_directory_entry(const fs::directory_entry& entry) {
    std::error_code ec;
    return entry.is_directory(ec);
}

// A suite root holds both velora_cam and VeloraBrowser as folders.
bool holds_suite(const fs::path& dir) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) return false;
    bool cam = false;
    bool browser = false;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (!is_directory_entry(*it)) continue;
        const fs::path name = it->path().filename();
        if (name == "velora_cam") cam = true;
        if (name == "VeloraBrowser") browser = true;
        if (cam && browser) return true;
    }
    return false;
}

// The install directory without trailing separators, so that its name is its last folder.
fs::path without_trailing_separator(const fs::path& dir) {
    if (dir.has_relative_path() && dir.filename().empty()) return dir.parent_path();
    return dir;
}

}  // namespace

fs::path work_directory() {
    if (auto temp = sys::temp_directory()) return *temp / "castmill";
    std::error_code ec;
    fs::path current = fs::current_path(ec);
    if (ec) throw fs::filesystem_error("current_path()", ec);
    return current;
}

fs::path log_directory() { return work_directory() / "log"; }

fs::path update_folder(const fs::path& install_dir) { return install_dir / "Update"; }

fs::path old_installation_path(const fs::path& install_dir) {
    fs::path dir = without_trailing_separator(install_dir);
    fs::path old = dir;
    old += ".deleteme";
    return old;
}

fs::path driver_folder(const fs::path& install_dir) { return install_dir / "VeloraDriver"; }

fs::path browser_executable(const fs::path& install_dir) {
    return install_dir / "VeloraBrowser" / "Browser" / "chrome.exe";
}

fs::path browser_profile_folder(const fs::path& install_dir) {
    return without_trailing_separator(install_dir).parent_path() / "Chromium";
}

fs::path uninstaller_path(const fs::path& install_dir) {
    return without_trailing_separator(install_dir).parent_path() / "uninstall.exe";
}

std::string full_package_address() {
    return download_host() + "/files/apps/castmill/Castmill_full_package.exe";
}

fs::path download_base() { return work_directory() / "installer"; }

fs::path executable_directory() {
    if (auto exe = sys::executable_path()) return exe->parent_path();
    return {};
}

fs::path installer_resources_dir() { return installer_resources_dir(executable_directory()); }

fs::path installer_resources_dir(const fs::path& exe_dir) {
    // Beside the executable first: the build tree and the suite's Update folder have it there.
    const fs::path beside = exe_dir / "Resources";
    if (exe_dir.empty()) return beside;
    std::error_code ec;
    if (fs::is_directory(beside, ec)) return beside;
    // An installed setup (cmake --install, the packages) keeps it in the prefix's data folder.
    const fs::path installed =
        (exe_dir / sys::path_from_utf8(CASTMILL_RESOURCES_FROM_BINDIR)).lexically_normal();
    if (fs::is_directory(installed, ec)) return installed;
    return beside;
}

fs::path report_key_fallback_dir() {
    const fs::path root = suite_root_relative();
    if (root.empty()) return {};
    return root / kObsFolder / "log-upload";
}

fs::path suite_archiver() { return suite_root_relative() / kObsFolder / "7z" / "7z.exe"; }

fs::path find_suite_root(const fs::path& start) {
    // The suite installs into a folder named Castmill; try the current path cut after it first.
    constexpr std::string_view kSuiteFolder = "Castmill";
    const std::string text = sys::utf8_of(start);
    const size_t mark = text.rfind(kSuiteFolder);
    const fs::path first = mark == std::string::npos
                               ? start
                               : sys::path_from_utf8(text.substr(0, mark + kSuiteFolder.size()));
    if (holds_suite(first)) return first;
    for (fs::path dir = start; dir.has_relative_path();) {
        dir = dir.parent_path();
        if (holds_suite(dir)) return dir;
    }
    return {};
}

fs::path suite_root() {
    Guarded& cache = suite_root_cache();
    std::lock_guard<std::mutex> lock(cache.lock);
    if (!cache.value.empty()) return cache.value;
    std::error_code ec;
    const fs::path current = fs::current_path(ec);
    if (ec) return {};
    cache.value = find_suite_root(current);
    return cache.value;
}

fs::path relative_root_form(const fs::path& root, const fs::path& current) {
    if (root.empty()) return {};
    const fs::path below = current.lexically_relative(root);
    if (below.empty() || *below.begin() == "..") return root;
    if (below == ".") return "./";
    std::string steps;
    for (const fs::path& part : below) {
        if (!part.empty() && part != ".") steps += "../";
    }
    return steps;
}

fs::path suite_root_relative() {
    const fs::path root = suite_root();
    std::error_code ec;
    const fs::path current = fs::current_path(ec);
    if (ec) return root;
    return relative_root_form(root, current);
}

}  // namespace velora::st
