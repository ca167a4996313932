#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "support/test_env.h"
#include "sys/folders.h"

namespace velora::sys {
namespace {

namespace fs = std::filesystem;
using castmill::test::TempDir;

// Sets environment variables for one scope (nullopt removes one) and restores them after.
class ScopedEnv {
public:
    void set(const char* name, std::optional<std::string> value) {
        const char* old = std::getenv(name);
        saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                setenv(it->first, it->second->c_str(), 1);
            else
                unsetenv(it->first);
        }
    }

private:
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

TEST(TempDirectory, ComesFromTmpdirElseTmp) {
    ScopedEnv env;
    env.set("TMPDIR", "/var/tmp/x");
    EXPECT_EQ(temp_directory(), fs::path("/var/tmp/x"));
    env.set("TMPDIR", "");
    EXPECT_EQ(temp_directory(), fs::path("/tmp"));
    env.set("TMPDIR", std::nullopt);
    EXPECT_EQ(temp_directory(), fs::path("/tmp"));
}

TEST(KnownFolder, FollowsTheXdgFoldersThenHome) {
    ScopedEnv env;
    env.set("XDG_DATA_HOME", "/d");
    env.set("XDG_CONFIG_HOME", "/c");
    EXPECT_EQ(known_folder(KnownFolder::LocalAppData), fs::path("/d"));
    EXPECT_EQ(known_folder(KnownFolder::CommonAppData), fs::path("/d"));
    EXPECT_EQ(known_folder(KnownFolder::RoamingAppData), fs::path("/c"));
    EXPECT_EQ(known_folder(KnownFolder::CommonPrograms), fs::path("/d/applications"));

    env.set("HOME", "/h");
    env.set("XDG_DATA_HOME", std::nullopt);
    env.set("XDG_CONFIG_HOME", "");
    EXPECT_EQ(known_folder(KnownFolder::LocalAppData), fs::path("/h/.local/share"));
    EXPECT_EQ(known_folder(KnownFolder::RoamingAppData), fs::path("/h/.config"));

    env.set("HOME", std::nullopt);
    EXPECT_EQ(known_folder(KnownFolder::LocalAppData), std::nullopt);
    EXPECT_EQ(known_folder(KnownFolder::CommonPrograms), std::nullopt);
    EXPECT_EQ(known_folder(KnownFolder::CommonDesktop), std::nullopt);
}

TEST(KnownFolder, DesktopComesFromUserDirsElseHomeDesktop) {
    TempDir dir;
    ScopedEnv env;
    env.set("HOME", dir.path().string());
    env.set("XDG_CONFIG_HOME", (dir / "config").string());
    env.set("XDG_DESKTOP_DIR", std::nullopt);
    EXPECT_EQ(known_folder(KnownFolder::CommonDesktop), dir / "Desktop");

    castmill::test::write_file(dir / "config" / "user-dirs.dirs",
                               "# written by xdg-user-dirs-update\n"
                               "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
                               "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
    EXPECT_EQ(known_folder(KnownFolder::CommonDesktop), dir / "Schreibtisch");

    castmill::test::write_file(dir / "config" / "user-dirs.dirs",
                               "XDG_DESKTOP_DIR=\"/srv/desk\"\n");
    EXPECT_EQ(known_folder(KnownFolder::CommonDesktop), fs::path("/srv/desk"));

    env.set("XDG_DESKTOP_DIR", "/from/env");
    EXPECT_EQ(known_folder(KnownFolder::CommonDesktop), fs::path("/from/env"));
}

}  // namespace
}  // namespace velora::sys
