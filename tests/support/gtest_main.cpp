#include <gtest/gtest.h>

#include "support/test_env.h"

int main(int argc, char** argv) {
    castmill::test::isolate_environment();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
