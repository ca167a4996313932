#include <gtest/gtest.h>

#include <cstdint>

#include "support/test_env.h"
#include "sys/environment.h"
#include "sys/processes.h"
#include "sys/shell.h"

namespace velora::sys {
namespace {

TEST(EnvironmentOnWindows, StartedProgramsInheritTheVariableUnchanged) {
    castmill::test::TempDir dir;
    const std::string value = "C:\\Users\\Zo\xC3\xAB \xE6\x97\xA5\xE6\x9C\xAC";  // Zoë 日本
    ASSERT_TRUE(set_environment_variable("CASTMILL_ENV_CHECK", "first"));
    ASSERT_TRUE(set_environment_variable("CASTMILL_ENV_CHECK", value));

    const auto out = dir / "value.txt";
    std::uint32_t exit_code = 1;
    ASSERT_TRUE(
        execute_command_line(param_word(castmill::test::test_program("proc_helper").string()) +
                                 " env CASTMILL_ENV_CHECK " + param_word(out.string()),
                             exit_code, true));
    EXPECT_EQ(exit_code, 0u);
    EXPECT_EQ(castmill::test::read_file(out), value);
}

}  // namespace
}  // namespace velora::sys
