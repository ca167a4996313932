#include "setup/download_planning.h"

#include <gtest/gtest.h>

#include <regex>

#include "base/crypto.h"

namespace velora::st {
namespace {

TEST(DownloadDirectoryId, PrefersTheEtagThenADigitsOnlyFolderThenClockAndRandom) {
    EXPECT_EQ(download_directory_id({{"ETag", "\"abc\""}}, "http://h/u/123/manifest.json"),
              "\"abc\"");
    EXPECT_EQ(download_directory_id({{"etag", ""}}, "http://h/u/20261208/manifest.json"),
              "20261208");
    const std::regex generated("[0-9]+_[0-9a-z]{4}");
    for (const char* url :
         {"http://h/u/12a/manifest.json", "http://h/u//manifest.json", "manifest.json"}) {
        const std::string id = download_directory_id({}, url);
        EXPECT_TRUE(std::regex_match(id, generated)) << url << " -> " << id;
    }
    EXPECT_NE(download_directory_id({}, "x"), download_directory_id({}, "x"));
}

TEST(DownloadDirectoryId, NamesTheFolderByTheManifestUrlAndId) {
    EXPECT_EQ(download_directory_name("http://h/m.json", "\"e\""),
              md5_hex("http://h/m.json_\"e\""));
    EXPECT_EQ(base_url_of("http://h/a b/m.json"), "http://h/a b");
    EXPECT_EQ(base_url_of("manifest.json"), "");
}

TEST(ManifestEntryChecks, PathsMustStayInsideTheInstallDirectory) {
    for (const char* path : {"VeloraOBS/bin/obs64.exe", "Connect/a b.dll", "dist/..x/y", "a"}) {
        EXPECT_TRUE(is_safe_manifest_path(path)) << path;
    }
    for (const char* path : {"", "/etc/passwd", "\\\\server\\share", "../x", "VeloraOBS/../../x",
                             "VeloraOBS\\..\\..\\x", "VeloraOBS/./x", "VeloraOBS//x", "VeloraOBS/",
                             "C:/Windows/x.dll", "C:x", "a:stream"}) {
        EXPECT_FALSE(is_safe_manifest_path(path)) << path;
    }
    EXPECT_FALSE(is_safe_manifest_path(std::string("VeloraOBS/a\0b", 12)));
    // One component per file name, each at most 255 bytes long.
    EXPECT_TRUE(is_safe_manifest_path("VeloraOBS/" + std::string(255, 'a') + "/b"));
    EXPECT_FALSE(is_safe_manifest_path("VeloraOBS/" + std::string(256, 'a') + "/b"));
}

TEST(ManifestEntryChecks, HashesMustBePlainFileNamesOfTheirOwn) {
    EXPECT_TRUE(is_plain_file_name("0cc175b9c0f1b6a831c399e269772661"));
    EXPECT_TRUE(is_plain_file_name("v2.dll-hash"));
    for (const char* name : {"", ".", "..", "a/b", "..\\x", "c:x", "downloaded.json",
                             "downloaded.json.tmp", "Castmill_winUpdate_zip"}) {
        EXPECT_FALSE(is_plain_file_name(name)) << name;
    }
    EXPECT_TRUE(is_plain_file_name(std::string(255, 'f')));
    EXPECT_FALSE(is_plain_file_name(std::string(256, 'f')));
}

TEST(ManifestEntryChecks, OnlyThirtyTwoHexDigitsNameAnMd5Digest) {
    EXPECT_TRUE(is_md5_text("0cc175b9c0f1b6a831c399e269772661"));
    EXPECT_TRUE(is_md5_text("0CC175B9C0F1B6A831C399E269772661"));
    EXPECT_FALSE(is_md5_text("0cc175b9c0f1b6a831c399e26977266"));
    EXPECT_FALSE(is_md5_text("0cc175b9c0f1b6a831c399e26977266g"));
    EXPECT_FALSE(is_md5_text("sha-0cc175b9c0f1b6a831c399e26977"));
}

}  // namespace
}  // namespace velora::st
