#include "sys/error_code.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace velora::sys {
namespace {

TEST(SystemCode, MapsErrnoToTheWindowsNumbers) {
    EXPECT_EQ(system_code_from_errno(ENOENT), 2);
    EXPECT_EQ(system_code_from_errno(ENOTDIR), 3);
    EXPECT_EQ(system_code_from_errno(EACCES), 5);
    EXPECT_EQ(system_code_from_errno(EPERM), 5);
    EXPECT_EQ(system_code_from_errno(ETXTBSY), 32);
    EXPECT_EQ(system_code_from_errno(EBUSY), 32);
    EXPECT_EQ(system_code_from_errno(EEXIST), 183);
    EXPECT_EQ(system_code_from_errno(EEXIST, true), 80);
    EXPECT_EQ(system_code_from_errno(ENOTEMPTY), 145);
    EXPECT_EQ(system_code_from_errno(ENOSPC), 112);
    EXPECT_EQ(system_code_from_errno(EROFS), 19);
}

TEST(SystemCode, MarksErrnoWithoutTwinAsApplicationDefined) {
    EXPECT_EQ(system_code_from_errno(EINVAL), 0x20000000 | EINVAL);
    EXPECT_EQ(system_code(std::make_error_code(std::errc::no_such_file_or_directory)), 2);
    EXPECT_EQ(system_code(std::error_code()), 0);
}

}  // namespace
}  // namespace velora::sys
