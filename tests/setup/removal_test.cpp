#include "setup/removal.h"

#include <gtest/gtest.h>

#include "app/modules.h"
#include "setup/setup_center.h"
#include "support/immutable_flag.h"
#include "support/log_capture.h"
#include "support/running_program.h"
#include "support/test_env.h"
#include "sys/files.h"

namespace velora::st {
namespace {

namespace fs = std::filesystem;
using castmill::test::ImmutableFlag;
using castmill::test::LogCapture;
using castmill::test::read_file;
using castmill::test::RunningProgram;
using castmill::test::TempDir;
using castmill::test::write_file;

class RemovalTest : public ::testing::Test {
protected:
    RemovalTest() : install_dir(tmp / "Apps/Castmill"), old_dir(tmp / "Apps/Castmill.deleteme") {}

    void make_installation(const std::string& version) {
        write_file(install_dir / "VeloraBrowser/browser.exe", "browser " + version);
        write_file(install_dir / "VeloraOBS/obs.dll", "obs " + version);
        write_file(install_dir / "dist/index.html", "dist " + version);
        write_file(install_dir / "VeloraDriver/driver.sys", "driver " + version);
        write_file(install_dir / "Update/setup.exe", "setup " + version);
        write_file(install_dir / "uninstall.exe", "uninstall " + version);
    }

    TempDir tmp;
    fs::path install_dir;
    fs::path old_dir;
    LogCapture log;
};

TEST_F(RemovalTest, FirstInstallationHasNothingToMoveOrDelete) {
    // What the platform reports for a rename out of a missing folder: 2 on POSIX, 3 on Windows.
    const int missing = sys::rename_no_replace(tmp / "no/such/folder", tmp / "other");
    EXPECT_EQ(prepare_delete_app(install_dir), kSetupFileSystemError);
    EXPECT_TRUE(
        log.contains("prepare_delete_app filesystem error: " + std::to_string(missing) + " "))
        << log.text();
    delete_dirs(install_dir, true, {});
    EXPECT_TRUE(log.contains("remove castmill dir: " + install_dir.string()));
    EXPECT_FALSE(fs::exists(install_dir));
    EXPECT_FALSE(fs::exists(old_dir));
}

TEST_F(RemovalTest, SuccessfulUpdateLeavesNoOldInstallationBehind) {
    make_installation("1");
    ASSERT_EQ(prepare_delete_app(install_dir), 0);
    EXPECT_FALSE(fs::exists(install_dir));
    EXPECT_EQ(read_file(old_dir / "VeloraOBS/obs.dll"), "obs 1");

    make_installation("2");
    delete_dirs(install_dir, false, {});
    EXPECT_FALSE(fs::exists(old_dir));
    EXPECT_EQ(read_file(install_dir / "VeloraOBS/obs.dll"), "obs 2");
}

TEST_F(RemovalTest, FailedUpdateRestoresTheOldInstallationOverAPartlyFilledFolder) {
    make_installation("1");
    ASSERT_EQ(prepare_delete_app(install_dir), 0);

    SetupCenter center;
    center.modules = ModuleApp;
    center.install_dir = install_dir;
    center.download_dir = tmp / "download";
    write_file(center.download_dir / "h1", "browser 2");
    center.install_lists[ModuleApp] = {{"VeloraBrowser/browser.exe", "h1", 9},
                                       {"VeloraBrowser/missing.dll", "h2", 9}};
    ASSERT_EQ(center._install(), 2);
    ASSERT_TRUE(fs::exists(install_dir / "VeloraBrowser/browser.exe"));

    EXPECT_EQ(_recover_app(install_dir), 0);
    EXPECT_FALSE(fs::exists(old_dir));
    EXPECT_EQ(read_file(install_dir / "VeloraBrowser/browser.exe"), "browser 1");
    EXPECT_FALSE(fs::exists(install_dir / "Pcid"));
    EXPECT_FALSE(fs::exists(install_dir / "VeloraBrowser/browser.exe.backup"));
}

TEST_F(RemovalTest, RecoveryWithoutAnOldInstallationLeavesTheInstallFolderAlone) {
    make_installation("2");
    EXPECT_EQ(_recover_app(install_dir), 0);
    EXPECT_EQ(read_file(install_dir / "VeloraOBS/obs.dll"), "obs 2");
    EXPECT_TRUE(log.contains("_recover_app filesystem error: 2 "));
}

TEST_F(RemovalTest, LeftoverOldInstallationIsRemovedBeforeTheNextRename) {
    write_file(old_dir / "VeloraOBS/stale.dll", "interrupted run");
    make_installation("1");
    ASSERT_EQ(prepare_delete_app(install_dir), 0);
    EXPECT_FALSE(fs::exists(old_dir / "VeloraOBS/stale.dll"));
    EXPECT_EQ(read_file(old_dir / "VeloraOBS/obs.dll"), "obs 1");
}

TEST_F(RemovalTest, MediaPluginUpdateRemovesOnlyItsOwnFolders) {
    make_installation("1");
    delete_dirs(install_dir, true, directories_of_modules(ModuleObs));
    EXPECT_FALSE(fs::exists(install_dir / "VeloraOBS"));
    EXPECT_FALSE(fs::exists(install_dir / "dist"));
    EXPECT_FALSE(fs::exists(install_dir / "VeloraDriver"));
    EXPECT_EQ(read_file(install_dir / "VeloraBrowser/browser.exe"), "browser 1");
    EXPECT_EQ(read_file(install_dir / "Update/setup.exe"), "setup 1");
    EXPECT_EQ(read_file(install_dir / "uninstall.exe"), "uninstall 1");
}

TEST_F(RemovalTest, DeletingAroundRunningAndUnremovableFiles) {
    make_installation("1");
    fs::copy_file(castmill::test::test_program("idle_program"), install_dir / "VeloraOBS/obs64");
    RunningProgram obs(install_dir / "VeloraOBS/obs64");
    write_file(install_dir / "VeloraBrowser/locked/cache.bin", "cache");
    ImmutableFlag frozen(install_dir / "VeloraBrowser/locked");
    if (!frozen.applied()) GTEST_SKIP() << "no immutable attribute on this file system";

    delete_dirs(install_dir, true, {});
    // A running program does not stop its folder from going; the process runs on.
    EXPECT_FALSE(fs::exists(install_dir / "VeloraOBS"));
    EXPECT_EQ(obs.exchange("ping"), "ping");
    // What cannot be removed or moved aside stays, and so does the install folder.
    EXPECT_EQ(read_file(install_dir / "VeloraBrowser/locked/cache.bin"), "cache");
    EXPECT_FALSE(fs::exists(install_dir / "uninstall.exe"));
    EXPECT_TRUE(log.contains("delete_castmill file:" + (install_dir / "VeloraBrowser").string()));
    EXPECT_TRUE(log.contains("_delete_app retry rename file failed"));
}

TEST_F(RemovalTest, PlainFileInsteadOfAFolderIsLoggedAndKept) {
    write_file(install_dir / "dist", "a file named like the folder");
    delete_dirs(install_dir, true, {"dist"});
    EXPECT_TRUE(log.contains("delete_castmill filesystem error:"));
    EXPECT_EQ(read_file(install_dir / "dist"), "a file named like the folder");
}

}  // namespace
}  // namespace velora::st
