#include <gtest/gtest.h>
#include <unistd.h>

#include "app/paths.h"
#include "support/program_run.h"
#include "support/test_env.h"

namespace velora::st {
namespace {

namespace fs = std::filesystem;
using castmill::test::TempDir;

void make_suite(const fs::path& root) {
    fs::create_directories(root / "velora_cam");
    fs::create_directories(root / "VeloraBrowser");
}

TEST(SuiteRoot, FoundTwoLevelsBelowAndKeptForTheProcess) {
    TempDir dir;
    make_suite(dir / "suite");
    fs::create_directories(dir / "suite" / "VeloraOBS" / "bin");
    // The lookup starts at the current directory and caches what it finds: run it in a copy
    // of this process so neither leaks into other tests.
    EXPECT_TRUE(castmill::test::run_in_forked_child([&] {
        ASSERT_EQ(chdir((dir / "suite" / "VeloraOBS" / "bin").c_str()), 0);
        EXPECT_EQ(suite_root(), dir / "suite");
        EXPECT_EQ(suite_root_relative(), "../../");
        EXPECT_EQ(report_key_fallback_dir(), "../../VeloraOBS/log-upload");
        ASSERT_EQ(chdir((dir / "suite").c_str()), 0);
        EXPECT_EQ(suite_root_relative(), "./");
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        EXPECT_EQ(suite_root(), dir / "suite") << "a found root is kept";
        EXPECT_EQ(suite_root_relative(), dir / "suite");
    }));
    EXPECT_TRUE(castmill::test::run_in_forked_child([&] {
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        EXPECT_EQ(suite_root(), fs::path());
        EXPECT_EQ(suite_root_relative(), fs::path());
        EXPECT_EQ(report_key_fallback_dir(), fs::path());
        make_suite(dir.path());
        EXPECT_EQ(suite_root(), dir.path()) << "a missing root is looked up again";
    }));
}

}  // namespace
}  // namespace velora::st
