#include "sys/environment.h"

#include <gtest/gtest.h>

namespace velora::sys {
namespace {

TEST(Environment, ANameTheSystemRefusesIsReported) {
    EXPECT_FALSE(set_environment_variable("", "value"));
    EXPECT_FALSE(set_environment_variable("A=B", "value"));
}

}  // namespace
}  // namespace velora::sys
