#include <gtest/gtest.h>

#include "app/startup.h"
#include "base/result_codes.h"
#include "support/program_run.h"
#include "support/scoped_env.h"

namespace velora::st {
namespace {

namespace test = castmill::test;

TEST(Startup, WithoutAHomeFolderEndsWithTwoBeforeAnyMutexOrWindow) {
    EXPECT_TRUE(test::run_in_child_process([] {
        StartupSteps steps;
        steps.elevated = true;
        steps.exit_pause = std::chrono::milliseconds(0);
        int windows = 0;
        steps.run_window = [&](const LaunchOptions&) { return ++windows; };
        test::ScopedEnv env;
        env.set("XDG_DATA_HOME", std::nullopt);
        env.set("HOME", std::nullopt);
        EXPECT_EQ(run_setup("s;--modules=3", steps), kExitFailed);
        EXPECT_EQ(windows, 0);
    }));
}

}  // namespace
}  // namespace velora::st
