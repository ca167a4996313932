#include <gtest/gtest.h>

#include <filesystem>

#include "base/result_codes.h"
#include "net/file_downloader.h"
#include "support/log_capture.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using castmill::test::LogCapture;
using castmill::test::TempDir;
using velora::FileDownloader;

// Nothing listens here; the cases below fail before any request is made.
constexpr const char* kUnreachable = "http://127.0.0.1:9/package.zip";

TEST(FileDownloaderGuard, AFolderWhereTheFileBelongsEndsWithTheFileSystemCodeAndALogLine) {
    TempDir tmp;
    fs::create_directories(tmp / "package.zip" / "inside");
    LogCapture log;
    FileDownloader downloader(4, 5);

    EXPECT_EQ(downloader.download(kUnreachable, tmp / "package.zip", 1000, nullptr),
              velora::kSetupFileSystemError);
    EXPECT_TRUE(log.contains("[FileDownloader::download_many_thread_impl]filesystem_error:"))
        << log.text();
    // The fault is reported, not repaired: the folder and what it holds stay.
    EXPECT_TRUE(fs::is_directory(tmp / "package.zip" / "inside"));
}

TEST(FileDownloaderGuard, ANegativeKnownSizeIsRefusedWithoutARequest) {
    TempDir tmp;
    LogCapture log;
    FileDownloader downloader(1, 5);

    EXPECT_EQ(downloader.download(kUnreachable, tmp / "package.zip", -5, nullptr),
              velora::kSetupBadServerData);
    EXPECT_TRUE(log.contains("[FileDownloader::download]invalid size: -5")) << log.text();
    EXPECT_FALSE(fs::exists(tmp / "package.zip"));
}

}  // namespace
