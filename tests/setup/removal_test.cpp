#include "setup/removal.h"

#include <gtest/gtest.h>

#include "layout/modules.h"
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
    RemovalTest() : install_dir(tmp / "Apps/Castmill") {}

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
    LogCapture log;
};

TEST_F(RemovalTest, DeletesTheWholeTreeOrOneSubfolder) {
    make_installation("1");
    delete_castmill(DeleteTarget{install_dir, true}, "dist");
    EXPECT_FALSE(fs::exists(install_dir / "dist"));
    EXPECT_EQ(read_file(install_dir / "VeloraBrowser/browser.exe"), "browser 1");
    delete_castmill(DeleteTarget{install_dir, true}, "");
    EXPECT_TRUE(log.contains("remove castmill dir: " + install_dir.string()));
    EXPECT_FALSE(fs::exists(install_dir));
    // Nothing there is nothing to do.
    delete_castmill(DeleteTarget{install_dir, true}, "");
}

TEST_F(RemovalTest, DeletingAroundRunningAndUnremovableFiles) {
    make_installation("1");
    fs::copy_file(castmill::test::test_program("idle_program"), install_dir / "VeloraOBS/obs64");
    RunningProgram obs(install_dir / "VeloraOBS/obs64");
    write_file(install_dir / "VeloraBrowser/locked/cache.bin", "cache");
    ImmutableFlag frozen(install_dir / "VeloraBrowser/locked");
    if (!frozen.applied()) GTEST_SKIP() << "no immutable attribute on this file system";

    delete_castmill(DeleteTarget{install_dir, true}, "");
    // A running program does not stop its folder from going; the process runs on.
    EXPECT_FALSE(fs::exists(install_dir / "VeloraOBS"));
    EXPECT_EQ(obs.exchange("ping"), "ping");
    // What cannot be removed or moved aside stays, and so does the install folder.
    EXPECT_EQ(read_file(install_dir / "VeloraBrowser/locked/cache.bin"), "cache");
    EXPECT_FALSE(fs::exists(install_dir / "uninstall.exe"));
    EXPECT_TRUE(log.contains("delete_castmill file:" + (install_dir / "VeloraBrowser").string()));
    EXPECT_TRUE(log.contains("_delete_app retry rename file failed"));
}

TEST_F(RemovalTest, LargeTreeGoesWholeWithoutFollowingLinksOut) {
#ifdef _WIN32
    GTEST_SKIP() << "links to folders need rights a test run does not have";
#endif
    for (int i = 0; i < 150; ++i)
        write_file(
            install_dir / ("VeloraOBS/d" + std::to_string(i % 7) + "/deep/f" + std::to_string(i)),
            "x");
    write_file(tmp / "outside/keep.txt", "keep");
    fs::create_directory_symlink(tmp / "outside", install_dir / "VeloraOBS/d3/outside");

    delete_castmill(DeleteTarget{install_dir, true}, "");
    EXPECT_EQ(read_file(tmp / "outside/keep.txt"), "keep");
    EXPECT_FALSE(fs::exists(install_dir));
}

TEST_F(RemovalTest, PlainFileInsteadOfAFolderIsLoggedAndKept) {
    write_file(install_dir / "dist", "a file named like the folder");
    delete_castmill(DeleteTarget{install_dir, true}, "dist");
    EXPECT_TRUE(log.contains("delete_castmill filesystem error:"));
    EXPECT_EQ(read_file(install_dir / "dist"), "a file named like the folder");
}

}  // namespace
}  // namespace velora::st
