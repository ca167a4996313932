#include "setup/install_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "setup/setup_center.h"
#include "support/immutable_flag.h"
#include "support/log_capture.h"
#include "support/running_program.h"
#include "support/test_env.h"
#include "sys/error_code.h"
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

SetupTimings fast_timings() {
    SetupTimings timings;
    timings.mapped_file_retry = std::chrono::milliseconds(1);
    return timings;
}

class InstallFilesTest : public ::testing::Test {
protected:
    InstallFilesTest() : center(fast_timings()) {
        center.install_dir = tmp / "Castmill";
        center.download_dir = tmp / "download";
        fs::create_directories(center.download_dir);
    }

    // A downloaded file for filePath, listed for module 1.
    FileEntry add(const std::string& file_path, const std::string& content) {
        FileEntry entry{file_path, "hash" + std::to_string(++count), 0};
        write_file(center.download_dir / entry.hash, content);
        entry.fileSize = static_cast<int64_t>(content.size());
        center.install_lists[1].push_back(entry);
        return entry;
    }

    // A copy of the idle test program at the install path, running.
    std::unique_ptr<RunningProgram> run_at(const std::string& file_path) {
        const fs::path dest = center.install_dir / file_path;
        fs::create_directories(dest.parent_path());
        fs::copy_file(castmill::test::test_program("idle_program"), dest);
        return std::make_unique<RunningProgram>(dest);
    }

    TempDir tmp;
    SetupCenter center;
    LogCapture log;
    int count = 0;
};

TEST_F(InstallFilesTest, NewFileGetsItsFoldersAndNoBackup) {
    const FileEntry entry = add("VeloraBrowser/locales/en.pak", "english");
    EXPECT_EQ(center._install_file(entry), 0);
    const fs::path dest = center.install_dir / "VeloraBrowser/locales/en.pak";
    EXPECT_EQ(read_file(dest), "english");
    EXPECT_FALSE(fs::exists(dest.string() + ".backup"));
}

TEST_F(InstallFilesTest, OverwrittenFileLeavesOldContentAsBackupReplacingAnOlderOne) {
    const fs::path dest = center.install_dir / "Update/app.dll";
    write_file(dest, "version 2");
    write_file(dest.string() + ".backup", "version 1");
    const FileEntry entry = add("Update/app.dll", "version 3");
    EXPECT_EQ(center._install_file(entry), 0);
    EXPECT_EQ(read_file(dest), "version 3");
    EXPECT_EQ(read_file(dest.string() + ".backup"), "version 2");
}

TEST_F(InstallFilesTest, MissingSourceEndsTheInstallationWithFileNotFound) {
    add("Update/first.dll", "first");
    FileEntry missing{"Update/missing.dll", "nohash", 4};
    center.install_lists[1].push_back(missing);
    add("Update/after.dll", "after");
    EXPECT_EQ(center._install(), sys::kErrorFileNotFound);
    EXPECT_EQ(read_file(center.install_dir / "Update/first.dll"), "first");
    EXPECT_FALSE(fs::exists(center.install_dir / "Update/after.dll"));
    EXPECT_TRUE(log.contains("install file: Update/missing.dll failed. code: 2"));
}

TEST_F(InstallFilesTest, InstallCreatesTheModuleFoldersFirst) {
    center.modules = 2;
    EXPECT_EQ(center._install(), 0);
    for (const char* name : {"VeloraOBS", "dist", "VeloraDriver"})
        EXPECT_TRUE(fs::is_directory(center.install_dir / name)) << name;
    EXPECT_FALSE(fs::exists(center.install_dir / "VeloraBrowser"));
}

TEST_F(InstallFilesTest, UnusableInstallDirectoryIsAFileSystemError) {
    write_file(center.install_dir, "a file where the folder belongs");
    center.modules = 1;
    EXPECT_EQ(center._install(), kSetupFileSystemError);
    EXPECT_TRUE(log.contains("SetupCenter::_install create_directories error:"));
}

TEST_F(InstallFilesTest, RunningProgramIsMovedAsideAndTheNewContentInstalled) {
    auto program = run_at("VeloraBrowser/browser");
    const std::string old_content = read_file(center.install_dir / "VeloraBrowser/browser");
    const FileEntry entry = add("VeloraBrowser/browser", "new browser");
    // The platform reports the running image as held.
    ASSERT_EQ(sys::copy_file(center.download_dir / entry.hash,
                             center.install_dir / "VeloraBrowser/browser", true),
              sys::kErrorSharingViolation);
    add("VeloraBrowser/other.dll", "other");

    EXPECT_EQ(center._install(), 0);
    const fs::path dest = center.install_dir / "VeloraBrowser/browser";
    EXPECT_EQ(read_file(dest), "new browser");
    EXPECT_EQ(read_file(dest.string() + ".backup"), old_content);
    EXPECT_EQ(read_file(center.install_dir / "VeloraBrowser/other.dll"), "other");
    // The process runs on from its moved-aside image.
    EXPECT_EQ(program->exchange("ping"), "ping");
    const std::regex moved_aside(R"(browser\.[0-9a-z]{6}\.deleteme)");
#ifdef _WIN32
    // Windows keeps the file while the program runs; it goes at the next restart.
    std::vector<std::string> kept;
    for (const auto& file : fs::directory_iterator(dest.parent_path())) {
        const std::string name = file.path().filename().string();
        if (std::regex_match(name, moved_aside)) kept.push_back(name);
    }
    EXPECT_EQ(kept.size(), 1u);
#else
    // POSIX unlinks it at once: the process's image is a deleted file.
    const std::string image = program->image().filename().string();
    EXPECT_TRUE(std::regex_match(image.substr(0, image.find(' ')), moved_aside)) << image;
    EXPECT_TRUE(image.ends_with(" (deleted)")) << image;
#endif
}

TEST_F(InstallFilesTest, HeldFileThatCannotBeMovedAsideEndsWithInUseNamingItsProgram) {
    auto program = run_at("Update/castmill_helper");
    const std::string old_content = read_file(center.install_dir / "Update/castmill_helper");
    add("Update/castmill_helper", "new helper");
    ImmutableFlag frozen(center.install_dir / "Update");
    if (!frozen.applied()) GTEST_SKIP() << "no immutable attribute on this file system";

    EXPECT_EQ(center._install(), kSetupInUse);
    EXPECT_EQ(center.install_error, "castmill_helper\n");
    EXPECT_EQ(read_file(center.install_dir / "Update/castmill_helper"), old_content);
    EXPECT_TRUE(log.contains("is still use"));
    EXPECT_EQ(program->exchange("ping"), "ping");
}

TEST_F(InstallFilesTest, HeldFilesOnTheSkipListKeepTheirOldContent) {
    auto camera = run_at("velora_cam/obs-virtualcam-module64.dll");
    auto symbols = run_at("velora_cam/camera.pdb");
    const std::string old_content = read_file(center.install_dir / "velora_cam/camera.pdb");
    add("velora_cam/obs-virtualcam-module64.dll", "new camera");
    add("velora_cam/camera.pdb", "new symbols");
    ImmutableFlag frozen(center.install_dir / "velora_cam");
    if (!frozen.applied()) GTEST_SKIP() << "no immutable attribute on this file system";

    EXPECT_EQ(center._install(), 0);
    EXPECT_EQ(read_file(center.install_dir / "velora_cam/camera.pdb"), old_content);
    EXPECT_EQ(read_file(center.install_dir / "velora_cam/obs-virtualcam-module64.dll"),
              old_content);
    EXPECT_TRUE(log.contains("skip in use file: " +
                             (center.install_dir / "velora_cam/camera.pdb").string()));
    EXPECT_TRUE(
        log.contains("skip in use file: " +
                     (center.install_dir / "velora_cam/obs-virtualcam-module64.dll").string()));
}

TEST(CanSkipInUse, MatchesTheListedNamesAndDebugSymbolsExactly) {
    EXPECT_TRUE(can_skip_in_use("C:/x/obs-virtualcam-module64.dll"));
    EXPECT_TRUE(can_skip_in_use("/a/Firmware/dongle_kx7_ota.gbl"));
    EXPECT_TRUE(can_skip_in_use("firmware_501.zip"));
    EXPECT_TRUE(can_skip_in_use("/a/firmware_502.zip"));
    EXPECT_TRUE(can_skip_in_use("/a/b/app.pdb"));
    EXPECT_TRUE(can_skip_in_use("/a/.pdb"));
    EXPECT_FALSE(can_skip_in_use("/a/OBS-virtualcam-module64.dll"));
    EXPECT_FALSE(can_skip_in_use("/a/app.PDB"));
    EXPECT_FALSE(can_skip_in_use("/a/app.pdb.backup"));
    EXPECT_FALSE(can_skip_in_use("/a/firmware_503.zip"));
    EXPECT_FALSE(can_skip_in_use("/a/.."));
}

TEST(InstallEntries, FileStillMappedAfterTenAttemptsFailsTheRunWhereverItStands) {
    std::unordered_map<int, std::vector<FileEntry>> lists;
    lists[1] = {{"mapped.dll", "h1", 1}, {"late.dll", "h2", 1}, {"last.dll", "h3", 1}};
    std::map<std::string, int> attempts;
    const InstallOutcome outcome = install_entries(
        lists,
        [&](const FileEntry& entry) {
            ++attempts[entry.filePath];
            if (entry.filePath == "mapped.dll") return sys::kErrorUserMappedFile;
            if (entry.filePath == "late.dll" && attempts[entry.filePath] < 3)
                return sys::kErrorUserMappedFile;
            return 0;
        },
        std::chrono::milliseconds(0));
    EXPECT_EQ(outcome.code, sys::kErrorUserMappedFile);
    ASSERT_NE(outcome.failed, nullptr);
    EXPECT_EQ(outcome.failed->filePath, "mapped.dll");
    EXPECT_EQ(attempts["mapped.dll"], kMappedFileAttempts);
    EXPECT_EQ(attempts["late.dll"], 3);
    EXPECT_EQ(attempts["last.dll"], 1);
}

TEST(InstallEntries, OtherFailureStopsAtOnce) {
    std::unordered_map<int, std::vector<FileEntry>> lists;
    lists[1] = {{"a", "h1", 1}, {"b", "h2", 1}, {"c", "h3", 1}};
    int calls = 0;
    const InstallOutcome outcome = install_entries(
        lists, [&](const FileEntry& entry) { return ++calls, entry.filePath == "b" ? 5 : 0; },
        std::chrono::milliseconds(0));
    EXPECT_EQ(outcome.code, 5);
    EXPECT_EQ(outcome.failed->filePath, "b");
    EXPECT_EQ(calls, 2);
}

TEST(RemoveInUse, FileAwayLeavesAnUnheldCopyAndFailsCleanlyWhenTheRenameIsRefused) {
    TempDir tmp;
    const fs::path file = tmp / "dir/held.bin";
    write_file(file, "content");
    {
        ImmutableFlag frozen(tmp / "dir");
        if (!frozen.applied()) GTEST_SKIP() << "no immutable attribute on this file system";
        EXPECT_FALSE(remove_in_use_file_away(file));
        EXPECT_EQ(read_file(file), "content");
    }
    EXPECT_TRUE(remove_in_use_file_away(file));
    EXPECT_EQ(read_file(file), "content");
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp / "dir"), {}), 1);
}

TEST(RemoveInUse, DirAwayEmptiesFreeFoldersAndReportsHeldOnes) {
    TempDir tmp;
    EXPECT_TRUE(remove_in_use_dir_away(tmp / "missing"));

    write_file(tmp / "free/a.txt", "a");
    write_file(tmp / "free/sub/b.txt", "b");
    EXPECT_TRUE(remove_in_use_dir_away(tmp / "free"));
    EXPECT_TRUE(fs::is_empty(tmp / "free"));

    write_file(tmp / "held/sub/c.txt", "c");
    write_file(tmp / "held/d.txt", "d");
    ImmutableFlag frozen(tmp / "held/sub");
    if (!frozen.applied()) GTEST_SKIP() << "no immutable attribute on this file system";
    EXPECT_FALSE(remove_in_use_dir_away(tmp / "held"));
    EXPECT_EQ(read_file(tmp / "held/sub/c.txt"), "c");
    EXPECT_FALSE(fs::exists(tmp / "held/d.txt"));
}

}  // namespace
}  // namespace velora::st
