#include "sys/files.h"

#include <gtest/gtest.h>

#include "support/test_env.h"
#include "sys/error_code.h"

namespace velora::sys {
namespace {

namespace fs = std::filesystem;
using castmill::test::read_file;
using castmill::test::TempDir;
using castmill::test::write_file;

TEST(Files, CopyReportsSystemCodes) {
    TempDir tmp;
    write_file(tmp / "tool", std::string(200000, 't'));
    EXPECT_EQ(copy_file(tmp / "tool", tmp / "copy", false), kErrorSuccess);
    EXPECT_EQ(read_file(tmp / "copy"), std::string(200000, 't'));

    write_file(tmp / "small", "s");
    EXPECT_EQ(copy_file(tmp / "small", tmp / "copy", false), kErrorFileExists);
    EXPECT_EQ(read_file(tmp / "copy"), std::string(200000, 't'));
    EXPECT_EQ(copy_file(tmp / "small", tmp / "copy", true), kErrorSuccess);
    EXPECT_EQ(read_file(tmp / "copy"), "s");
    EXPECT_EQ(copy_file(tmp / "missing", tmp / "other", true), kErrorFileNotFound);
    EXPECT_FALSE(fs::exists(tmp / "other"));
}

TEST(Files, RenameNeverReplaces) {
    TempDir tmp;
    write_file(tmp / "a", "a");
    write_file(tmp / "b", "b");
    EXPECT_NE(rename_no_replace(tmp / "a", tmp / "b"), kErrorSuccess);
    EXPECT_EQ(read_file(tmp / "a"), "a");
    EXPECT_EQ(read_file(tmp / "b"), "b");
    EXPECT_EQ(rename_no_replace(tmp / "a", tmp / "c"), kErrorSuccess);
    EXPECT_EQ(read_file(tmp / "c"), "a");
    EXPECT_FALSE(fs::exists(tmp / "a"));
    EXPECT_EQ(rename_no_replace(tmp / "a", tmp / "d"), kErrorFileNotFound);
}

}  // namespace
}  // namespace velora::sys
