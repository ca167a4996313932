#include <cstdlib>

#include "support/test_env.h"

namespace castmill::test {

namespace fs = std::filesystem;

void point_user_folders_at(const fs::path& root) {
    const std::pair<const char*, const char*> vars[] = {
        {"HOME", "home"},
        {"XDG_DATA_HOME", "home/.local/share"},
        {"XDG_CONFIG_HOME", "home/.config"},
        {"XDG_CACHE_HOME", "home/.cache"},
        {"XDG_STATE_HOME", "home/.local/state"},
        {"XDG_RUNTIME_DIR", "runtime"},
        {"TMPDIR", "tmp"},
    };
    for (const auto& [name, rel] : vars) {
        fs::create_directories(root / rel);
        setenv(name, (root / rel).c_str(), 1);
    }
    fs::permissions(root / "runtime", fs::perms::owner_all);
    unsetenv("XDG_DESKTOP_DIR");
}

}  // namespace castmill::test
