#include "sys/folders.h"

#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>

namespace velora::sys {

namespace fs = std::filesystem;

namespace {

std::optional<fs::path> env_path(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return fs::path(value);
}

std::optional<fs::path> home() { return env_path("HOME"); }

std::optional<fs::path> xdg(const char* name, const char* home_relative) {
    if (auto p = env_path(name)) return p;
    if (auto h = home()) return *h / home_relative;
    return std::nullopt;
}

// XDG_DESKTOP_DIR from user-dirs.dirs ("$HOME/Desktop" form), else ~/Desktop.
std::optional<fs::path> desktop_dir() {
    if (auto p = env_path("XDG_DESKTOP_DIR")) return p;
    auto h = home();
    if (!h) return std::nullopt;
    if (auto config = xdg("XDG_CONFIG_HOME", ".config")) {
        std::ifstream in(*config / "user-dirs.dirs");
        std::string line;
        const std::string key = "XDG_DESKTOP_DIR=";
        while (std::getline(in, line)) {
            if (line.rfind(key, 0) != 0) continue;
            std::string value = line.substr(key.size());
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            if (value.rfind("$HOME", 0) == 0) return fs::path(h->string() + value.substr(5));
            if (!value.empty() && value.front() == '/') return fs::path(value);
        }
    }
    return *h / "Desktop";
}

}  // namespace

std::optional<fs::path> temp_directory() {
    if (auto p = env_path("TMPDIR")) return p;
    return fs::path("/tmp");
}

std::optional<fs::path> known_folder(KnownFolder folder) {
    switch (folder) {
        case KnownFolder::LocalAppData:
        case KnownFolder::CommonAppData:
            return xdg("XDG_DATA_HOME", ".local/share");
        case KnownFolder::RoamingAppData:
            return xdg("XDG_CONFIG_HOME", ".config");
        case KnownFolder::CommonDesktop:
            return desktop_dir();
        case KnownFolder::CommonPrograms:
            if (auto data = xdg("XDG_DATA_HOME", ".local/share")) return *data / "applications";
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<fs::path> executable_path() {
    std::error_code ec;
    fs::path p = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return std::nullopt;
    return p;
}

}  // namespace velora::sys
