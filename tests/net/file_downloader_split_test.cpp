#include <gtest/gtest.h>

#include <vector>

#include "net/file_downloader.h"

namespace {

using velora::DownloadPart;
using velora::split_download;

TEST(FileDownloaderSplit, GivesTheFirstPartsTheRemainderAndLeavesTheLastOpenEnded) {
    EXPECT_EQ(split_download(10, 3), (std::vector<DownloadPart>{{0, 3, 4}, {4, 6, 3}, {7, -1, 3}}));
    EXPECT_EQ(split_download(10, 4),
              (std::vector<DownloadPart>{{0, 2, 3}, {3, 5, 3}, {6, 7, 2}, {8, -1, 2}}));
}

TEST(FileDownloaderSplit, CoversEveryByteOnceForLargeFiles) {
    const int64_t size = (int64_t{5} << 30) + 7;  // past 4 GiB: offsets stay 64-bit
    const auto parts = split_download(size, 12);
    ASSERT_EQ(parts.size(), 12u);
    int64_t next = 0;
    int64_t total = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        EXPECT_EQ(parts[i].start, next);
        total += parts[i].length;
        if (i + 1 < parts.size()) {
            EXPECT_EQ(parts[i].end, parts[i].start + parts[i].length - 1);
            next = parts[i].end + 1;
        }
    }
    EXPECT_EQ(parts.back().end, -1);
    EXPECT_EQ(total, size);
}

TEST(FileDownloaderSplit, NeverMakesEmptyPartsOfATinyFile) {
    EXPECT_EQ(split_download(2, 4), (std::vector<DownloadPart>{{0, 0, 1}, {1, -1, 1}}));
    EXPECT_EQ(split_download(1, 8), (std::vector<DownloadPart>{{0, -1, 1}}));
}

}  // namespace
