#include <gtest/gtest.h>
#include <unistd.h>

#include "setup/setup_data.h"
#include "support/program_run.h"
#include "support/test_env.h"

namespace velora::st {
namespace {

namespace fs = std::filesystem;
using castmill::test::run_in_forked_child;
using castmill::test::TempDir;
using castmill::test::write_file;

// The cache and the suite root are process-wide: each case runs in its own child process.
TEST(AppVersion, WithoutASuiteIsTheDefaultAndStaysCached) {
    TempDir tmp;
    const fs::path outside = tmp / "elsewhere";
    fs::create_directories(outside);
    EXPECT_TRUE(run_in_forked_child([&] {
        ASSERT_EQ(chdir(outside.c_str()), 0);
        EXPECT_EQ(app_version(true), "");
        EXPECT_EQ(app_version(false), "1.0.0");
        // A suite appearing later is not read again.
        fs::create_directories(outside / "velora_cam");
        fs::create_directories(outside / "VeloraBrowser");
        write_file(outside / "Update/config.json", "{\"gver\": \"7.0.1\"}");
        EXPECT_EQ(app_version(false), "1.0.0");
        EXPECT_EQ(app_version(true), "1.0.0");
    }));
}

TEST(AppVersion, ReadsGverOfTheSuiteAroundTheCurrentDirectory) {
    TempDir tmp;
    const fs::path root = tmp / "suite";
    fs::create_directories(root / "velora_cam");
    fs::create_directories(root / "VeloraBrowser/Browser");
    write_file(root / "Update/config.json", "{\"gver\": \"7.0.1\"}");
    EXPECT_TRUE(run_in_forked_child([&] {
        ASSERT_EQ(chdir((root / "VeloraBrowser/Browser").c_str()), 0);
        EXPECT_EQ(app_version(false), "7.0.1");
        write_file(root / "Update/config.json", "{\"gver\": \"7.0.2\"}");
        EXPECT_EQ(app_version(false), "7.0.1");
    }));
    write_file(root / "Update/config.json", "{\"gver\": 7}");
    EXPECT_TRUE(run_in_forked_child([&] {
        ASSERT_EQ(chdir(root.c_str()), 0);
        EXPECT_EQ(app_version(false), "1.0.0");
    }));
}

}  // namespace
}  // namespace velora::st
