#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

#include "support/test_env.h"
#include "sys/error_code.h"

namespace velora::sys {
namespace {

namespace fs = std::filesystem;
using castmill::test::TempDir;
using castmill::test::write_file;

TEST(SystemCodeOnWindows, IsTheThreadsLastError) {
    TempDir tmp;
    HANDLE file =
        CreateFileW((tmp / "missing").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(last_system_code(), kErrorFileNotFound);
    EXPECT_EQ(system_code(std::error_code(ERROR_SHARING_VIOLATION, std::system_category())),
              kErrorSharingViolation);
}

TEST(SystemCodeOnWindows, FileSystemErrorsKeepTheSystemsCode) {
    TempDir tmp;
    std::error_code ec;
    fs::rename(tmp / "missing", tmp / "other", ec);
    EXPECT_EQ(system_code(ec), kErrorFileNotFound) << ec.message();
    fs::rename(tmp / "no/such/missing", tmp / "other", ec);
    EXPECT_EQ(system_code(ec), kErrorPathNotFound) << ec.message();

    write_file(tmp / "held", "held");
    HANDLE held =
        CreateFileW((tmp / "held").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    fs::rename(tmp / "held", tmp / "moved", ec);
    EXPECT_EQ(system_code(ec), kErrorSharingViolation) << ec.message();
    fs::remove(tmp / "held", ec);
    EXPECT_EQ(system_code(ec), kErrorSharingViolation) << ec.message();
    CloseHandle(held);

    fs::copy_file(tmp / "missing", tmp / "copy", ec);
    EXPECT_EQ(system_code(ec), kErrorFileNotFound) << ec.message();
}

}  // namespace
}  // namespace velora::sys
