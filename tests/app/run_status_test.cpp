#include "app/run_status.h"

#include <gtest/gtest.h>

namespace {

using velora::st::DownloadRate;
using velora::st::estimate_download;

constexpr int64_t kMiB = 1024 * 1024;

// The remaining seconds of a download of `total` bytes after the given samples.
int remaining_after(const std::vector<std::pair<double, int64_t>>& samples, int64_t total) {
    DownloadRate rate;
    rate.restart(100.0);
    for (const auto& [seconds, fetched] : samples) rate.add(100.0 + seconds, fetched);
    const auto estimate =
        estimate_download(total, 0, samples.back().second, rate.bytes_per_second());
    EXPECT_TRUE(estimate.remaining_known);
    return estimate.remaining_seconds;
}

TEST(DownloadRate, FirstEstimateAfterOneSecondIsTheWholeRest) {
    // 1 MiB a second of 36 MiB: 35 seconds left, not almost none.
    EXPECT_EQ(remaining_after({{1.0, kMiB}}, 36 * kMiB), 35);
}

TEST(DownloadRate, SlowStartDoesNotLingerInTheEstimate) {
    // Ten seconds of connecting, then 10 MiB a second: the last seconds count.
    std::vector<std::pair<double, int64_t>> samples;
    for (int s = 1; s <= 10; ++s) samples.emplace_back(s, 0);
    for (int s = 11; s <= 15; ++s) samples.emplace_back(s, (s - 10) * 10 * kMiB);
    EXPECT_EQ(remaining_after(samples, 100 * kMiB), 5);
}

TEST(DownloadRate, FollowsARateThatDrops) {
    std::vector<std::pair<double, int64_t>> samples;
    int64_t fetched = 0;
    for (int s = 1; s <= 10; ++s) samples.emplace_back(s, fetched += 8 * kMiB);
    for (int s = 11; s <= 20; ++s) samples.emplace_back(s, fetched += kMiB);
    // 90 MiB fetched of 190 at 1 MiB a second.
    EXPECT_EQ(remaining_after(samples, 190 * kMiB), 100);
}

TEST(DownloadRate, NothingKnownBeforeBytesArriveOrAfterARestart) {
    DownloadRate rate;
    EXPECT_EQ(rate.bytes_per_second(), 0);
    rate.restart(0);
    rate.add(1, 0);
    EXPECT_EQ(rate.bytes_per_second(), 0);
    EXPECT_FALSE(estimate_download(10, 0, 0, rate.bytes_per_second()).remaining_known);
    rate.add(2, kMiB);
    EXPECT_GT(rate.bytes_per_second(), 0);
    rate.restart(3);
    EXPECT_EQ(rate.bytes_per_second(), 0);
    // A late sample from another thread does not go back in time.
    rate.add(4, kMiB);
    rate.add(3.5, 100 * kMiB);
    EXPECT_DOUBLE_EQ(rate.bytes_per_second(), static_cast<double>(kMiB));
}

TEST(DownloadEstimate, CountsCachedBytesAsDoneButNotAsLeft) {
    const auto estimate = estimate_download(100 * kMiB, 50 * kMiB, 25 * kMiB, 5.0 * kMiB);
    EXPECT_EQ(estimate.percent, 75);
    EXPECT_EQ(estimate.done_bytes, 75 * kMiB);
    EXPECT_EQ(estimate.total_bytes, 100 * kMiB);
    EXPECT_EQ(estimate.remaining_seconds, 5);
}

}  // namespace
