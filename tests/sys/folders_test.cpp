#include "sys/folders.h"

#include <gtest/gtest.h>

namespace velora::sys {
namespace {

namespace fs = std::filesystem;

TEST(ExecutablePath, IsThisTestProgram) {
    const auto exe = executable_path();
    ASSERT_TRUE(exe);
    EXPECT_EQ(exe->stem(), "test_sys");
    EXPECT_TRUE(fs::is_regular_file(*exe));
}

}  // namespace
}  // namespace velora::sys
