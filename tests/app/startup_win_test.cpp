#include <gtest/gtest.h>

#include <cstdlib>

#include "app/startup.h"
#include "base/utf8_path.h"
#include "support/scoped_env.h"
#include "sys/environment.h"
#include "sys/folders.h"

namespace velora::st {
namespace {

// The elevated copy is this test program again, started through the shell's "runas" verb
// (Wine runs it without a prompt) for the one case below, which it answers by exit code.
constexpr const char* kCopyLine =
    "--gtest_filter=ElevatedCopy.DISABLED_ExitsWithWhatItWasGiven "
    "--gtest_also_run_disabled_tests Z:\\suite\\setup.exe;--install_dir=C:\\a b;--modules=3";
constexpr int kCopyContent = 7;
constexpr int kCopyLineDiffers = 8;
constexpr int kCopyWithoutUserAppData = 9;

TEST(ElevatedRelaunch, StartsThisProgramWithTheLineAndTheUserAppDataAndReadsItsCode) {
    castmill::test::ScopedEnv env;
    env.set("OBS_USER_APPDATA_PATH", std::nullopt);
    EXPECT_EQ(relaunch_elevated_and_wait(kCopyLine), kCopyContent);
    // Passed on to the elevated copy and the programs it starts.
    EXPECT_TRUE(sys::environment_variable("OBS_USER_APPDATA_PATH").has_value());
}

TEST(ElevatedCopy, DISABLED_ExitsWithWhatItWasGiven) {
    const auto roaming = sys::known_folder(sys::KnownFolder::RoamingAppData);
    if (sys::command_line_tail() != kCopyLine) std::exit(kCopyLineDiffers);
    if (!roaming || sys::environment_variable("OBS_USER_APPDATA_PATH") != sys::utf8_of(*roaming))
        std::exit(kCopyWithoutUserAppData);
    std::exit(kCopyContent);
}

}  // namespace
}  // namespace velora::st
