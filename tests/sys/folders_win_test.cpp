#include <gtest/gtest.h>

#include <set>

#include "support/scoped_env.h"
#include "support/test_env.h"
#include "sys/folders.h"

namespace velora::sys {
namespace {

namespace fs = std::filesystem;

TEST(FoldersOnWindows, TempDirectoryFollowsTmp) {
    castmill::test::TempDir dir;
    castmill::test::ScopedEnv env;
    env.set("TMP", dir.path().string());
    const auto temp = temp_directory();
    ASSERT_TRUE(temp);
    // Named the system's way: backslashes and a trailing one.
    EXPECT_EQ(temp->native(), (fs::path(dir.path()).make_preferred() / "").native());
}

TEST(FoldersOnWindows, KnownFoldersAreDistinctAbsoluteFolders) {
    std::set<fs::path> seen;
    for (const KnownFolder folder :
         {KnownFolder::LocalAppData, KnownFolder::RoamingAppData, KnownFolder::CommonDesktop,
          KnownFolder::CommonPrograms, KnownFolder::CommonAppData}) {
        const auto path = known_folder(folder);
        ASSERT_TRUE(path) << static_cast<int>(folder);
        EXPECT_TRUE(path->is_absolute()) << *path;
        EXPECT_TRUE(seen.insert(*path).second) << *path;
    }
    // The per-user folders lie in the user's profile, the common ones outside it.
    const fs::path local = *known_folder(KnownFolder::LocalAppData);
    const fs::path roaming = *known_folder(KnownFolder::RoamingAppData);
    EXPECT_EQ(local.parent_path(), roaming.parent_path());
    EXPECT_NE(known_folder(KnownFolder::CommonAppData)->parent_path(), local.parent_path());
}

TEST(FoldersOnWindows, ExecutablePathIsTheRunningExe) {
    const auto exe = executable_path();
    ASSERT_TRUE(exe);
    EXPECT_EQ(exe->filename(), "test_sys.exe");
    EXPECT_EQ(exe->native(), castmill::test::bin_program("test_sys").make_preferred().native());
}

}  // namespace
}  // namespace velora::sys
