#include "layout/paths.h"

#include <gtest/gtest.h>

#include "layout/castmill_install_layout.h"
#include "support/program_run.h"
#include "support/test_env.h"
#include "sys/folders.h"

namespace velora::st {
namespace {

namespace fs = std::filesystem;
using castmill::test::TempDir;

TEST(InstallLayout, NamesSiblingsOfTheInstallDirectoryByItsLastFolder) {
    for (const fs::path install : {"/data/Velora/Castmill", "/data/Velora/Castmill/"}) {
        EXPECT_EQ(old_installation_path(install), "/data/Velora/Castmill.deleteme");
        EXPECT_EQ(browser_profile_folder(install), "/data/Velora/Chromium");
        EXPECT_EQ(uninstaller_path(install), "/data/Velora/uninstall.exe");
    }
    EXPECT_EQ(download_base(), *sys::temp_directory() / "castmill" / "installer");
    EXPECT_EQ(installer_resources_dir(), sys::executable_path()->parent_path() / "Resources");
}

TEST(InstallLayout, ResourcesBesideTheExecutableWinOverTheInstalledOnes) {
    TempDir dir;
    const fs::path bin = dir / "prefix" / "bin";
    const fs::path installed = (bin / CASTMILL_RESOURCES_FROM_BINDIR).lexically_normal();
    fs::create_directories(bin);
    EXPECT_EQ(installer_resources_dir(bin), bin / "Resources") << "neither: the one beside";
    fs::create_directories(installed);
    EXPECT_EQ(installer_resources_dir(bin), installed);
    castmill::test::write_file(bin / "Resources", "a file, not a folder");
    EXPECT_EQ(installer_resources_dir(bin), installed);
    fs::remove(bin / "Resources");
    fs::create_directories(bin / "Resources");
    EXPECT_EQ(installer_resources_dir(bin), bin / "Resources");
}

void make_suite(const fs::path& root) {
    fs::create_directories(root / "velora_cam");
    fs::create_directories(root / "VeloraBrowser");
}

TEST(SuiteRoot, NeedsBothFoldersAsDirectories) {
    TempDir dir;
    fs::create_directories(dir / "a" / "velora_cam");
    castmill::test::write_file(dir / "a" / "VeloraBrowser", "a file, not a folder");
    fs::create_directories(dir / "a" / "b");
    EXPECT_EQ(find_suite_root(dir / "a" / "b"), fs::path());
    fs::create_directories(dir / "c" / "velora_cam" / "d");
    EXPECT_EQ(find_suite_root(dir / "c" / "velora_cam" / "d"), fs::path());
}

TEST(SuiteRoot, PrefersTheFolderNamedUpToCastmill) {
    TempDir dir;
    make_suite(dir / "Castmill");
    make_suite(dir / "Castmill" / "VeloraOBS");
    fs::create_directories(dir / "Castmill" / "VeloraOBS" / "bin");
    EXPECT_EQ(find_suite_root(dir / "Castmill" / "VeloraOBS" / "bin"), dir / "Castmill");
    // Cut inside a longer name: "CastmillX" gives a "Castmill" candidate that is tried first.
    fs::create_directories(dir / "CastmillX" / "bin");
    make_suite(dir / "CastmillX" / "bin");
    EXPECT_EQ(find_suite_root(dir / "CastmillX" / "bin"), dir / "Castmill");
}

TEST(SuiteRoot, FoundTwoLevelsBelowAndKeptForTheProcess) {
    TempDir dir;
    make_suite(dir / "suite");
    fs::create_directories(dir / "suite" / "VeloraOBS" / "bin");
    // The lookup starts at the current directory and caches what it finds: run it in a copy
    // of this process so neither leaks into other tests.
    EXPECT_TRUE(castmill::test::run_in_child_process([&] {
        fs::current_path(dir / "suite" / "VeloraOBS" / "bin");
        EXPECT_EQ(suite_root(), dir / "suite");
        EXPECT_EQ(suite_root_relative(), "../../");
        EXPECT_EQ(report_key_fallback_dir(), "../../VeloraOBS/log-upload");
        fs::current_path(dir / "suite");
        EXPECT_EQ(suite_root_relative(), "./");
        fs::current_path(dir.path());
        EXPECT_EQ(suite_root(), dir / "suite") << "a found root is kept";
        EXPECT_EQ(suite_root_relative(), dir / "suite");
    }));
    EXPECT_TRUE(castmill::test::run_in_child_process([&] {
        fs::current_path(dir.path());
        EXPECT_EQ(suite_root(), fs::path());
        EXPECT_EQ(suite_root_relative(), fs::path());
        EXPECT_EQ(report_key_fallback_dir(), fs::path());
        make_suite(dir.path());
        EXPECT_EQ(suite_root(), dir.path()) << "a missing root is looked up again";
    }));
}

TEST(SuiteRoot, RelativeFormSeenFromTheCurrentDirectory) {
    EXPECT_EQ(relative_root_form("/a/Castmill", "/a/Castmill"), "./");
    EXPECT_EQ(relative_root_form("/a/Castmill", "/a/Castmill/x/y/z"), "../../../");
    EXPECT_EQ(relative_root_form("/a/Castmill", "/a/CastmillX/y"), "/a/Castmill");
    EXPECT_EQ(relative_root_form("/a/Castmill", "/a"), "/a/Castmill");
    EXPECT_EQ(relative_root_form("", "/a"), fs::path());
}

}  // namespace
}  // namespace velora::st
