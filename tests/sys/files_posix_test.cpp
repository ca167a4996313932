#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/test_env.h"
#include "sys/error_code.h"
#include "sys/files.h"

namespace velora::sys {
namespace {

namespace fs = std::filesystem;
using castmill::test::read_file;
using castmill::test::TempDir;
using castmill::test::write_file;

TEST(Files, CopyKeepsTheProgramBitAndNamesAMissingFolderAsAMissingFile) {
    TempDir tmp;
    write_file(tmp / "tool", std::string(200000, 't'));
    fs::permissions(tmp / "tool", fs::perms::owner_all);
    EXPECT_EQ(copy_file(tmp / "tool", tmp / "copy", false), kErrorSuccess);
    EXPECT_TRUE((fs::status(tmp / "copy").permissions() & fs::perms::owner_exec) !=
                fs::perms::none);
    // ENOENT does not tell a missing folder from a missing file.
    EXPECT_EQ(copy_file(tmp / "tool", tmp / "no/such/dir/file", true), kErrorFileNotFound);
}

TEST(Files, CopiedProgramsBecomeStartableWhateverTheSourceMode) {
    TempDir tmp;
    const auto exec_bits = [](const fs::path& p) {
        return fs::status(p).permissions() &
               (fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec);
    };
    // Downloaded files arrive without a mode: an ELF image and a script are recognised.
    write_file(tmp / "app", std::string("\x7f"
                                        "ELF") +
                                std::string(100, '\0'));
    write_file(tmp / "run.sh", "#!/bin/sh\nexit 0\n");
    write_file(tmp / "notes.txt", "#not a script");
    for (const char* name : {"app", "run.sh", "notes.txt"})
        fs::permissions(tmp / name, fs::perms(0644));
    write_file(tmp / "installed" / "old", "old content");
    EXPECT_EQ(copy_file(tmp / "app", tmp / "installed" / "old", true), kErrorSuccess);
    EXPECT_EQ(exec_bits(tmp / "installed" / "old"),
              fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec);
    EXPECT_EQ(copy_file(tmp / "run.sh", tmp / "installed" / "run.sh", false), kErrorSuccess);
    EXPECT_NE(exec_bits(tmp / "installed" / "run.sh"), fs::perms::none);
    EXPECT_EQ(copy_file(tmp / "notes.txt", tmp / "installed" / "notes.txt", false), kErrorSuccess);
    EXPECT_EQ(exec_bits(tmp / "installed" / "notes.txt"), fs::perms::none);
}

// A moved or linked file is the same file: what is at the target is replaced, never
// written through (it may be a second name of a file that must stay as it is).
TEST(Files, PlacedFilesReplaceTheTargetAndProgramsBecomeStartable) {
    TempDir tmp;
    write_file(tmp / "download" / "a1", "#!/bin/sh\nexit 0\n");
    write_file(tmp / "download" / "b2", "plain data");
    fs::permissions(tmp / "download" / "a1", fs::perms(0644));
    write_file(tmp / "live", "the live file");
    fs::create_directories(tmp / "staging");
    fs::create_hard_link(tmp / "live", tmp / "staging" / "run.sh");

    EXPECT_EQ(place_file(tmp / "download" / "a1", tmp / "staging" / "run.sh", true),
              kErrorSuccess);
    EXPECT_EQ(read_file(tmp / "live"), "the live file");
    EXPECT_TRUE(fs::equivalent(tmp / "download" / "a1", tmp / "staging" / "run.sh"));
    EXPECT_NE(fs::status(tmp / "staging" / "run.sh").permissions() & fs::perms::owner_exec,
              fs::perms::none);

    EXPECT_EQ(place_file(tmp / "download" / "b2", tmp / "staging" / "data", false),
              kErrorSuccess);
    EXPECT_FALSE(fs::exists(tmp / "download" / "b2"));
    EXPECT_EQ(read_file(tmp / "staging" / "data"), "plain data");
    EXPECT_EQ(fs::status(tmp / "staging" / "data").permissions() & fs::perms::owner_exec,
              fs::perms::none);

    EXPECT_EQ(place_file(tmp / "download" / "missing", tmp / "staging" / "x", false),
              kErrorFileNotFound);
}

TEST(Files, RenameOntoAnExistingNameAndDeleteAtRebootRemovesNow) {
    TempDir tmp;
    write_file(tmp / "a", "a");
    write_file(tmp / "b", "b");
    EXPECT_EQ(rename_no_replace(tmp / "a", tmp / "b"), kErrorFileExists);
    fs::create_directories(tmp / "empty");
    EXPECT_NE(rename_no_replace(tmp / "a", tmp / "empty"), kErrorSuccess);
    EXPECT_EQ(read_file(tmp / "a"), "a");

    EXPECT_TRUE(delete_at_reboot(tmp / "a"));
    EXPECT_FALSE(fs::exists(tmp / "a"));
    EXPECT_FALSE(delete_at_reboot(tmp / "a"));
}

}  // namespace
}  // namespace velora::sys
