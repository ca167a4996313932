#include "setup/entire_package.h"

#include <gtest/gtest.h>
#include <zip.h>

#include "base/crypto.h"
#include "base/result_codes.h"
#include "setup/setup_center.h"
#include "support/immutable_flag.h"
#include "support/log_capture.h"
#include "support/sample_suite.h"
#include "support/test_env.h"
#include "sys/error_code.h"
#include "sys/files.h"
#include "sys/folders.h"

namespace velora::st {
namespace {

namespace fs = std::filesystem;
using castmill::test::LogCapture;
using castmill::test::read_file;
using castmill::test::TempDir;
using castmill::test::write_file;

// The temporary folder without the trailing separator Windows names it with.
fs::path temp_folder() {
    const fs::path dir = *sys::temp_directory();
    return dir.has_filename() ? dir : dir.parent_path();
}

struct ZipEntry {
    std::string name;
    std::string content;
    unsigned long external_fa = 0;
    int method = Z_DEFLATED;
};

// Writes a real archive with minizip's writer.
void make_zip(const fs::path& path, const std::vector<ZipEntry>& entries) {
    zipFile zip = zipOpen64(path.string().c_str(), APPEND_STATUS_CREATE);
    ASSERT_NE(zip, nullptr);
    for (const ZipEntry& entry : entries) {
        zip_fileinfo info{};
        info.external_fa = entry.external_fa;
        ASSERT_EQ(zipOpenNewFileInZip64(zip, entry.name.c_str(), &info, nullptr, 0, nullptr, 0,
                                        nullptr, entry.method, Z_DEFAULT_COMPRESSION, 0),
                  ZIP_OK);
        if (!entry.content.empty()) {
            ASSERT_EQ(zipWriteInFileInZip(zip, entry.content.data(),
                                          static_cast<unsigned>(entry.content.size())),
                      ZIP_OK);
        }
        ASSERT_EQ(zipCloseFileInZip(zip), ZIP_OK);
    }
    ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);
}

// Replaces the first occurrence of `what` in the file.
void patch(const fs::path& path, const std::string& what, const std::string& with) {
    std::string bytes = read_file(path);
    const size_t at = bytes.find(what);
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at, with.size(), with);
    write_file(path, bytes);
}

TEST(UnzipPackage, ExtractsFilesAndFoldersWithOrWithoutDirectoryEntries) {
    TempDir tmp;
    make_zip(tmp / "p.zip", {{"bin/", ""},
                             {"bin/app.dll", "app"},
                             {"deep/nested/file.txt", "nested"},
                             {"VeloraOBS\\plugins\\win.dll", "win"},
                             {"attr_dir", "", 16},
                             {"empty.txt", ""},
                             {"stored.bin", std::string(10000, 's'), 0, 0},
                             {std::string(150, 'd') + "/" + std::string(150, 'f'), "long"}});
    EXPECT_EQ(unzip_package(tmp / "p.zip", tmp / "out"), kUnzipOk);
    EXPECT_TRUE(fs::is_directory(tmp / "out/bin"));
    EXPECT_EQ(read_file(tmp / "out/bin/app.dll"), "app");
    EXPECT_EQ(read_file(tmp / "out/deep/nested/file.txt"), "nested");
    EXPECT_EQ(read_file(tmp / "out/VeloraOBS/plugins/win.dll"), "win");
    EXPECT_TRUE(fs::is_directory(tmp / "out/attr_dir"));
    EXPECT_TRUE(fs::is_regular_file(tmp / "out/empty.txt"));
    EXPECT_EQ(read_file(tmp / "out/stored.bin"), std::string(10000, 's'));
    EXPECT_EQ(read_file(tmp / "out" / std::string(150, 'd') / std::string(150, 'f')), "long");
}

// A signed manifest's listing bounds the archive: an entry it does not list, one listed
// once that comes twice, or one of another size stops extraction before it is written.
TEST(UnzipPackage, ListedArchiveTakesOnlyTheListedEntriesAtTheirSizes) {
    TempDir tmp;
    ArchiveListing listing;
    listing.entry_sizes = {{"bin/app.dll", 3}, {"VeloraOBS/win.dll", 3}};
    listing.total_bytes = 6;
    make_zip(tmp / "ok.zip", {{"bin/", ""}, {"bin/app.dll", "app"}, {"VeloraOBS\\win.dll", "win"}});
    EXPECT_EQ(unzip_package(tmp / "ok.zip", tmp / "ok", &listing), kUnzipOk);
    EXPECT_EQ(read_file(tmp / "ok/VeloraOBS/win.dll"), "win");

    const std::vector<std::pair<std::vector<ZipEntry>, int>> refused = {
        {{{"bin/app.dll", "app"}, {"extra.exe", "x"}}, kUnzipEntryNotListed},
        {{{"bin/app.dll", "app"}, {"bin/app.dll", "app"}}, kUnzipEntryNotListed},
        {{{"bin/app.dll", std::string(64 << 20, '\0')}}, kUnzipEntryWrongSize},
    };
    for (size_t i = 0; i < refused.size(); ++i) {
        const fs::path zip = tmp / ("bad" + std::to_string(i) + ".zip");
        make_zip(zip, refused[i].first);
        const fs::path out = tmp / ("bad" + std::to_string(i));
        EXPECT_EQ(unzip_package(zip, out, &listing), refused[i].second) << i;
        EXPECT_LE(static_cast<int64_t>(castmill::test::folder_bytes(out)),
                  listing.total_bytes + listing.total_bytes / 10)
            << i;
        EXPECT_FALSE(fs::exists(out / "extra.exe"));
        if (refused[i].second == kUnzipEntryWrongSize) {
            EXPECT_FALSE(fs::exists(out / "bin/app.dll"));
        }
    }
}

TEST(UnzipPackage, EmptyArchiveExtractsNothing) {
    TempDir tmp;
    make_zip(tmp / "empty.zip", {});
    EXPECT_EQ(unzip_package(tmp / "empty.zip", tmp / "out"), kUnzipOk);
    EXPECT_TRUE(fs::is_directory(tmp / "out"));
    EXPECT_TRUE(fs::is_empty(tmp / "out"));

    // The end record alone, but claiming entries: damaged, not empty.
    std::string bytes = read_file(tmp / "empty.zip");
    bytes[8] = 1;
    write_file(tmp / "claims.zip", bytes);
    EXPECT_EQ(unzip_package(tmp / "claims.zip", tmp / "out2"), kUnzipOpenArchiveFailed);
}

TEST(UnzipPackage, RefusesEntriesThatLeaveTheOutputFolder) {
    LogCapture log;
    for (const std::string name : {"../evil.txt", "bin/../../evil.txt", "/evil.txt", "\\evil.txt",
                                   "C:/evil.txt", "c:evil.txt", "bin\\..\\..\\evil.txt", ".."}) {
        TempDir tmp;
        make_zip(tmp / "p.zip", {{"first.txt", "first"}, {name, "evil"}});
        EXPECT_EQ(unzip_package(tmp / "p.zip", tmp / "a/out"), kUnzipUnsafeEntryName) << name;
        EXPECT_FALSE(fs::exists(tmp / "a/evil.txt")) << name;
        EXPECT_FALSE(fs::exists(tmp / "evil.txt")) << name;
        EXPECT_FALSE(fs::exists("/evil.txt")) << name;
    }
    EXPECT_TRUE(log.contains("zip entry: ../evil.txt refused"));
    EXPECT_TRUE(is_safe_entry_name("bin/a..b.dll"));
    EXPECT_TRUE(is_safe_entry_name("./bin/app.dll"));
}

TEST(UnzipPackage, CorruptedEntryFailsWithReadError) {
    TempDir tmp;
    const std::string content = "STORED-CONTENT-" + std::string(100, 'x');
    make_zip(tmp / "crc.zip", {{"a.txt", content, 0, 0}});
    patch(tmp / "crc.zip", "STORED-CONTENT", "STORED-CONTENZ");
    EXPECT_EQ(unzip_package(tmp / "crc.zip", tmp / "out1"), kUnzipReadFailed);

    std::string text;
    for (int i = 0; i < 20000; ++i) text += std::to_string(i * 7919 % 10007);
    make_zip(tmp / "inflate.zip", {{"b.txt", text}});
    std::string bytes = read_file(tmp / "inflate.zip");
    for (size_t i = 60; i < 400; ++i) bytes[i] = static_cast<char>(0xff);
    write_file(tmp / "inflate.zip", bytes);
    EXPECT_EQ(unzip_package(tmp / "inflate.zip", tmp / "out2"), kUnzipReadFailed);
}

// Writes a little-endian 32-bit value at offset.
void put_u32(std::string& bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

TEST(UnzipPackage, EntryWhoseStreamEndsBeforeItsDeclaredSizeFails) {
    // minizip checks the CRC only once the declared size was read: a deflate stream that
    // ends early would pass with half the file.
    TempDir tmp;
    std::string text;
    for (int i = 0; i < 500; ++i) text += static_cast<char>('a' + (i * 7) % 26);
    make_zip(tmp / "short.zip", {{"a.txt", text}});
    std::string bytes = read_file(tmp / "short.zip");
    ASSERT_EQ(bytes.compare(0, 4, "PK\x03\x04"), 0);
    put_u32(bytes, 22, 1000);
    const size_t central = bytes.find("PK\x01\x02");
    ASSERT_NE(central, std::string::npos);
    put_u32(bytes, central + 24, 1000);
    write_file(tmp / "short.zip", bytes);
    EXPECT_EQ(unzip_package(tmp / "short.zip", tmp / "out"), kUnzipReadFailed);
}

TEST(UnzipPackage, DamagedArchivesGiveTheirStepsCode) {
    TempDir tmp;
    EXPECT_EQ(unzip_package(tmp / "missing.zip", tmp / "out"), kUnzipOpenArchiveFailed);

    make_zip(tmp / "p.zip", {{"a.txt", "alpha"}, {"b.txt", "beta"}});
    const std::string whole = read_file(tmp / "p.zip");
    write_file(tmp / "truncated.zip", whole.substr(0, whole.size() / 2));
    EXPECT_EQ(unzip_package(tmp / "truncated.zip", tmp / "out"), kUnzipOpenArchiveFailed);

    // Central directory intact, first local header damaged: the data cannot be opened.
    write_file(tmp / "local.zip", "PK\x09\x09" + whole.substr(4));
    EXPECT_EQ(unzip_package(tmp / "local.zip", tmp / "out"), kUnzipOpenEntryFailed);

    // Second central directory record damaged: its information cannot be read.
    std::string central = whole;
    const size_t second = central.find("PK\x01\x02", central.find("PK\x01\x02") + 4);
    ASSERT_NE(second, std::string::npos);
    central[second + 2] = 0x09;
    write_file(tmp / "central.zip", central);
    EXPECT_EQ(unzip_package(tmp / "central.zip", tmp / "out3"), kUnzipEntryInfoFailed);
    // Every entry is read before any is written: nothing comes of a damaged directory.
    EXPECT_FALSE(fs::exists(tmp / "out3/a.txt"));
}

// Several workers write every entry whole; an entry whose digests match its manifest entry
// is noted as checked, one the manifest names other content for is left to be read again.
TEST(UnzipPackage, WorkersWriteEveryEntryAndNoteOnlyMatchingOnesAsChecked) {
    TempDir tmp;
    std::vector<ZipEntry> files;
    std::map<std::string, FileEntry> entries;
    for (int i = 0; i < 40; ++i) {
        const std::string path = "d" + std::to_string(i % 3) + "/f" + std::to_string(i);
        const std::string content(1000 + i * 997, static_cast<char>('a' + i % 26));
        files.push_back({path, content});
        entries[path] = {path, md5_hex(content), static_cast<int64_t>(content.size())};
    }
    entries["d1/f7"].hash = md5_hex("other bytes");
    make_zip(tmp / "p.zip", files);
    CheckedDownloads checked;
    ASSERT_EQ(unzip_package(tmp / "p.zip", tmp / "out", nullptr, {&entries, &checked, 3}), kUnzipOk);
    const bool identities = !sys::identity_of(tmp / "p.zip").empty();
    for (const ZipEntry& file : files) {
        EXPECT_EQ(read_file(tmp / "out" / file.name), file.content) << file.name;
        EXPECT_EQ(checked.holds(entries[file.name].hash, tmp / "out" / file.name),
                  identities && file.name != "d1/f7")
            << file.name;
    }
}

TEST(UnzipPackage, ReadsAnArchiveThatCannotBeWritten) {
    TempDir tmp;
    make_zip(tmp / "p.zip", {{"bin/app.dll", "app"}});
    // Immutable: not even root may open it for writing.
    castmill::test::ImmutableFlag read_only(tmp / "p.zip");
    if (!read_only.applied()) GTEST_SKIP() << "no immutable attribute on this file system";
    ASSERT_EQ(sys::open_file(tmp / "p.zip", "r+b"), nullptr);
    EXPECT_EQ(unzip_package(tmp / "p.zip", tmp / "out"), kUnzipOk);
    EXPECT_EQ(read_file(tmp / "out/bin/app.dll"), "app");
}

TEST(UnzipPackage, UnwritableOutputGivesItsCode) {
    TempDir tmp;
    make_zip(tmp / "p.zip", {{"bin/app.dll", "app"}});
    write_file(tmp / "out/bin", "a file where the folder belongs");
    EXPECT_EQ(unzip_package(tmp / "p.zip", tmp / "out"), kUnzipMakeDirFailed);

    make_zip(tmp / "q.zip", {{"app.dll", "app"}});
    fs::create_directories(tmp / "out2/app.dll");
    EXPECT_EQ(unzip_package(tmp / "q.zip", tmp / "out2"), kUnzipOpenOutputFailed);
}

class EntireModeTest : public ::testing::Test {
protected:
    EntireModeTest() {
        center.set_target({.install_dir = install_dir, .modules = 1});
        center.set_staging_dir(staging_dir);
        fs::create_directories(tmp / "download");
        center.use_download_dir(tmp / "download");
        center.set_package({.path = package, .size = 0, .replaces_files = true});
        plan_files({{"VeloraBrowser/browser.exe", "h1", 7}, {"Update/updater.exe", "h2", 7}});
    }

    void plan_files(std::vector<FileEntry> entries) {
        DownloadPlan plan;
        plan.install_lists[1] = std::move(entries);
        center.set_plan(plan);
    }

    std::vector<fs::path> extract_dirs() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(temp_folder()))
            if (entry.path().filename().string().rfind("vlstup-", 0) == 0)
                found.push_back(entry.path());
        return found;
    }

    TempDir tmp;
    const fs::path install_dir = tmp / "Castmill";
    const fs::path staging_dir = tmp / "Castmill.staging";
    const fs::path package = tmp / "download" / "Castmill_winUpdate.zip";
    SetupCenter center;
    LogCapture log;
};

TEST_F(EntireModeTest, InstallsFromTheUnpackedPackageAndRemovesIt) {
    make_zip(package,
             {{"VeloraBrowser/browser.exe", "browser"}, {"Update/updater.exe", "updater"}});
    std::string error;
    EXPECT_EQ(center._install_entire_mode_impl(error), 0);
    EXPECT_EQ(error, "");
    EXPECT_EQ(read_file(staging_dir / "VeloraBrowser/browser.exe"), "browser");
    EXPECT_EQ(read_file(staging_dir / "Update/updater.exe"), "updater");
    EXPECT_FALSE(fs::exists(install_dir));
    EXPECT_EQ(center.extract_dir().parent_path(), temp_folder());
    EXPECT_TRUE(extract_dirs().empty());
    EXPECT_TRUE(fs::exists(package));
    EXPECT_TRUE(log.contains("extract zip file to: " + center.extract_dir().string()));
}

TEST_F(EntireModeTest, BrokenPackageFailsBeforeAnythingIsInstalled) {
    write_file(package, "not a zip archive");
    std::string error;
    EXPECT_EQ(center._install_entire_mode_impl(error), kUnzipOpenArchiveFailed);
    EXPECT_EQ(error, "unzip entire package failed");
    EXPECT_FALSE(fs::exists(install_dir));
    EXPECT_TRUE(extract_dirs().empty());
    EXPECT_TRUE(log.contains("fialied. code: 2001"));
    // Never trusted twice: the next run fetches it again.
    EXPECT_FALSE(fs::exists(package));
}

TEST_F(EntireModeTest, ArchiveOfAnotherReleaseIsRefusedAndDropped) {
    // Same names and sizes as the manifest's, other bytes: a stale archive.
    plan_files({{"VeloraBrowser/browser.exe", md5_hex("browser"), 7}});
    make_zip(package, {{"VeloraBrowser/browser.exe", "BROWSER"}});
    std::string error;
    EXPECT_EQ(center._install_entire_mode_impl(error), kDownloadHashMismatch);
    EXPECT_EQ(error, "package content does not match the manifest");
    EXPECT_FALSE(fs::exists(staging_dir / "VeloraBrowser/browser.exe"));
    EXPECT_FALSE(fs::exists(package));
    EXPECT_TRUE(extract_dirs().empty());
}

TEST_F(EntireModeTest, PackageWithoutTheListedFilesFailsWithFileNotFound) {
    make_zip(package, {});
    // What the platform reports for a file in a missing folder: 2 on POSIX, 3 on Windows.
    const int missing = sys::copy_file(tmp / "no/such/file", tmp / "copy", true);
    std::string error;
    EXPECT_EQ(center._install_entire_mode_impl(error), missing);
    EXPECT_TRUE(extract_dirs().empty());

    // A second run unpacks the same package into a fresh folder.
    make_zip(package,
             {{"VeloraBrowser/browser.exe", "browser"}, {"Update/updater.exe", "updater"}});
    const fs::path first = center.extract_dir();
    EXPECT_EQ(center._install_entire_mode_impl(error), 0);
    EXPECT_NE(center.extract_dir(), first);
}

}  // namespace
}  // namespace velora::st
