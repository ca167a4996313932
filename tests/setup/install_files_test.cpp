#include "setup/install_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "base/crypto.h"
#include "base/result_codes.h"
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
        select_modules(0);
        center.set_staging_dir(staging_dir);
        fs::create_directories(download_dir);
        center.use_download_dir(download_dir);
    }

    void select_modules(int modules) {
        center.set_target({.install_dir = install_dir, .modules = modules});
    }

    // Lists the entry for module 1.
    void list(const FileEntry& entry) {
        plan.install_lists[1].push_back(entry);
        center.set_plan(plan);
    }

    // A downloaded file for filePath, listed for module 1.
    FileEntry add(const std::string& file_path, const std::string& content) {
        FileEntry entry{file_path, "hash" + std::to_string(++count), 0};
        write_file(download_dir / entry.hash, content);
        entry.fileSize = static_cast<int64_t>(content.size());
        list(entry);
        return entry;
    }

    // A copy of the idle test program at the install path, running.
    std::unique_ptr<RunningProgram> run_at(const std::string& file_path) {
        const fs::path dest = install_dir / file_path;
        fs::create_directories(dest.parent_path());
        fs::copy_file(castmill::test::test_program("idle_program"), dest);
        return std::make_unique<RunningProgram>(dest);
    }

    TempDir tmp;
    const fs::path install_dir = tmp / "Castmill";
    const fs::path staging_dir = tmp / "Castmill.staging";
    const fs::path download_dir = tmp / "download";
    SetupCenter center;
    DownloadPlan plan;
    LogCapture log;
    int count = 0;
};

TEST_F(InstallFilesTest, FilesAreStagedBesideTheLiveTreeWhichStaysUntouched) {
    write_file(install_dir / "Update/app.dll", "version 2");
    const FileEntry entry = add("VeloraBrowser/locales/en.pak", "english");
    EXPECT_EQ(center._install_file(entry), 0);
    EXPECT_EQ(read_file(staging_dir / "VeloraBrowser/locales/en.pak"), "english");
    EXPECT_FALSE(fs::exists(install_dir / "VeloraBrowser"));
    EXPECT_EQ(read_file(install_dir / "Update/app.dll"), "version 2");
}

TEST_F(InstallFilesTest, StagedContentThatDoesNotMatchTheManifestIsRefusedAndForgotten) {
    // A cached download that changed after it was fetched: same size, other bytes.
    const std::string good = "the right bytes";
    FileEntry entry{"Update/app.dll", md5_hex(good), static_cast<int64_t>(good.size())};
    write_file(download_dir / entry.hash, "the wrong bytes");
    center.set_downloaded(DownloadedRecord({{entry.filePath, entry}}));
    list(entry);
    EXPECT_EQ(center._install(), kDownloadHashMismatch);
    EXPECT_FALSE(fs::exists(staging_dir / "Update/app.dll"));
    EXPECT_FALSE(fs::exists(download_dir / entry.hash));
    EXPECT_TRUE(center.downloaded().empty());

    // A file of the wrong size is refused the same way, whatever its hash says.
    FileEntry sized{"Update/b.dll", "plainname", 4};
    write_file(download_dir / sized.hash, "12345");
    EXPECT_EQ(center._install_file(sized), kDownloadHashMismatch);
}

// A download checked in this run is linked without a second read while it is unchanged;
// bytes written to it after its check, of the same size, are read and refused.
TEST(PlaceChecked, ALinkedDownloadIsReadAgainWhenItChangedSinceItsCheck) {
    TempDir tmp;
    const std::string good = "the right bytes";
    const FileEntry entry{"Update/app.dll", md5_hex(good), static_cast<int64_t>(good.size())};
    const fs::path download = tmp / entry.hash;
    write_file(download, good);
    CheckedDownloads checked;
    checked.add(entry.hash, download);
    fs::create_directories(tmp / "a");
    fs::create_directories(tmp / "b");
    EXPECT_EQ(place_checked(download, tmp / "a/app.dll", entry, Placement::kLink, &checked), 0);
    // Where files have no identity (Windows, which copies them) every placed file is read.
    EXPECT_EQ(checked.holds(entry.hash, tmp / "a/app.dll"), !sys::identity_of(download).empty());
    fs::copy_file(download, tmp / "copy");
    EXPECT_FALSE(checked.holds(entry.hash, tmp / "copy"));

    write_file(download, "the wrong bytes");
    // A later write time even where the clock is coarse.
    fs::last_write_time(download, fs::last_write_time(download) + std::chrono::seconds(2));
    EXPECT_FALSE(checked.holds(entry.hash, download));
    EXPECT_EQ(place_checked(download, tmp / "b/app.dll", entry, Placement::kLink, &checked),
              kDownloadHashMismatch);
    EXPECT_FALSE(fs::exists(tmp / "b/app.dll"));
}

TEST_F(InstallFilesTest, MissingSourceEndsTheInstallationWithFileNotFound) {
    add("Update/first.dll", "first");
    FileEntry missing{"Update/missing.dll", "nohash", 4};
    list(missing);
    add("Update/after.dll", "after");
    EXPECT_EQ(center._install(), sys::kErrorFileNotFound);
    EXPECT_EQ(read_file(staging_dir / "Update/first.dll"), "first");
    EXPECT_FALSE(fs::exists(staging_dir / "Update/after.dll"));
    EXPECT_TRUE(log.contains("install file: Update/missing.dll failed. code: 2"));
}

TEST_F(InstallFilesTest, InstallCreatesTheModuleFoldersFirst) {
    select_modules(2);
    EXPECT_EQ(center._install(), 0);
    for (const char* name : {"VeloraOBS", "dist", "VeloraDriver"})
        EXPECT_TRUE(fs::is_directory(staging_dir / name)) << name;
    EXPECT_FALSE(fs::exists(staging_dir / "VeloraBrowser"));
}

TEST_F(InstallFilesTest, UnusableStagingFolderIsAFileSystemError) {
    write_file(staging_dir, "a file where the folder belongs");
    select_modules(1);
    EXPECT_EQ(center._install(), kSetupFileSystemError);
    EXPECT_TRUE(log.contains("SetupCenter::_install create_directories error:"));
}

// Without a staging folder the paths would be relative to the working directory.
TEST_F(InstallFilesTest, NoStagingFolderStagesNothing) {
    add("Update/app.dll", "app");
    select_modules(1);
    center.set_staging_dir({});
    const fs::path before = fs::current_path();
    fs::current_path(tmp.path());
    const int code = center._install();
    fs::current_path(before);
    EXPECT_EQ(code, kSetupFileSystemError);
    EXPECT_FALSE(fs::exists(tmp / "Update"));
    EXPECT_FALSE(fs::exists(tmp / "VeloraBrowser"));
}

// The file-by-file path, taken when the live tree cannot be renamed as a whole.
class InPlaceTest : public InstallFilesTest {
protected:
    InPlaceTest() { select_modules(1); }

    int stage_and_replace(std::string& message) {
        const int staged = center._install();
        if (staged != 0) return staged;
        const int carried = center.carry_over_live_files(message);
        if (carried != 0) return carried;
        return center.replace_files_in_place(message);
    }

    // What lies beside the install folder: nothing once a run has ended.
    std::vector<std::string> siblings() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(tmp.path())) {
            const std::string name = entry.path().filename().string();
            if (name != "Castmill" && name != "download") names.push_back(name);
        }
        return names;
    }
};

TEST_F(InPlaceTest, RunningProgramIsMovedAsideAndTheNewContentInstalled) {
    auto program = run_at("VeloraBrowser/browser");
    write_file(install_dir / "VeloraBrowser/stale.dll", "not in the new release");
    write_file(install_dir / "Connect/connect.dll", "another module's");
    add("VeloraBrowser/browser", "new browser");
    add("VeloraBrowser/other.dll", "other");

    std::string message;
    EXPECT_EQ(stage_and_replace(message), 0) << message;
    const fs::path dest = install_dir / "VeloraBrowser/browser";
    EXPECT_EQ(read_file(dest), "new browser");
    EXPECT_EQ(read_file(install_dir / "VeloraBrowser/other.dll"), "other");
    EXPECT_FALSE(fs::exists(install_dir / "VeloraBrowser/stale.dll"));
    EXPECT_EQ(read_file(install_dir / "Connect/connect.dll"), "another module's");
    EXPECT_TRUE(siblings().empty()) << testing::PrintToString(siblings());
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

TEST_F(InPlaceTest, HeldFileThatCannotBeMovedAsideNamesItsProgramAndPutsEverythingBack) {
    write_file(install_dir / "VeloraBrowser/browser.dll", "old browser");
    auto program = run_at("Update/castmill_helper");
    const std::string old_content = read_file(install_dir / "Update/castmill_helper");
    add("VeloraBrowser/browser.dll", "new browser");
    add("Update/castmill_helper", "new helper");
    ImmutableFlag frozen(install_dir / "Update");
    if (!frozen.applied()) GTEST_SKIP() << "no immutable attribute on this file system";

    std::string message;
    EXPECT_EQ(stage_and_replace(message), kSetupInUse);
    EXPECT_EQ(message, "castmill_helper\n");
    EXPECT_EQ(read_file(install_dir / "Update/castmill_helper"), old_content);
    EXPECT_EQ(read_file(install_dir / "VeloraBrowser/browser.dll"), "old browser");
    EXPECT_TRUE(log.contains("is still use"));
    EXPECT_EQ(program->exchange("ping"), "ping");
    EXPECT_TRUE(siblings().empty()) << testing::PrintToString(siblings());
}

TEST_F(InPlaceTest, HeldFilesOnTheSkipListKeepTheirOldContent) {
    auto camera = run_at("velora_cam/obs-virtualcam-module64.dll");
    auto symbols = run_at("velora_cam/camera.pdb");
    const std::string old_content = read_file(install_dir / "velora_cam/camera.pdb");
    add("velora_cam/obs-virtualcam-module64.dll", "new camera");
    add("velora_cam/camera.pdb", "new symbols");
    add("velora_cam/cam.dll", "new cam");
    fs::create_directories(install_dir / "velora_cam");
    write_file(install_dir / "velora_cam/cam.dll", "old cam");
    ImmutableFlag frozen(install_dir / "velora_cam");
    if (!frozen.applied()) GTEST_SKIP() << "no immutable attribute on this file system";

    // cam.dll cannot be replaced in the frozen folder either, and it is on no skip list.
    std::string message;
    EXPECT_EQ(stage_and_replace(message), kSetupFileSystemError);
    EXPECT_NE(message.find("velora_cam/cam.dll"), std::string::npos) << message;
    EXPECT_EQ(read_file(install_dir / "velora_cam/camera.pdb"), old_content);
    EXPECT_EQ(read_file(install_dir / "velora_cam/obs-virtualcam-module64.dll"), old_content);
    EXPECT_EQ(read_file(install_dir / "velora_cam/cam.dll"), "old cam");
}

TEST_F(InPlaceTest, SkippedHeldFilesLetTheRestOfTheRunSucceed) {
    auto symbols = run_at("velora_cam/camera.pdb");
    const std::string old_content = read_file(install_dir / "velora_cam/camera.pdb");
    add("velora_cam/camera.pdb", "new symbols");
    add("VeloraBrowser/browser.dll", "new browser");
    ImmutableFlag frozen(install_dir / "velora_cam");
    if (!frozen.applied()) GTEST_SKIP() << "no immutable attribute on this file system";

    std::string message;
    EXPECT_EQ(stage_and_replace(message), 0) << message;
    EXPECT_EQ(read_file(install_dir / "velora_cam/camera.pdb"), old_content);
    EXPECT_EQ(read_file(install_dir / "VeloraBrowser/browser.dll"), "new browser");
    EXPECT_TRUE(
        log.contains("skip in use file: " + (install_dir / "velora_cam/camera.pdb").string()));
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
