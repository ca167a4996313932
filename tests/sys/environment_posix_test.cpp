#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "sys/environment.h"
#include "sys/processes.h"

namespace velora::sys {
namespace {

TEST(Environment, StartedProgramsInheritTheVariable) {
    ASSERT_TRUE(set_environment_variable("CASTMILL_ENV_CHECK", "first"));
    ASSERT_TRUE(set_environment_variable("CASTMILL_ENV_CHECK", "C:\\Users\\Zoë Data"));
    ASSERT_NE(std::getenv("CASTMILL_ENV_CHECK"), nullptr);
    EXPECT_EQ(std::string(std::getenv("CASTMILL_ENV_CHECK")), "C:\\Users\\Zoë Data");

    std::uint32_t exit_code = 0;
    ASSERT_TRUE(execute_command_line(
        "sh -c 'test \"$CASTMILL_ENV_CHECK\" = \"C:\\\\Users\\\\Zoë Data\"'", exit_code, true));
    EXPECT_EQ(exit_code, 0u);
}

}  // namespace
}  // namespace velora::sys
