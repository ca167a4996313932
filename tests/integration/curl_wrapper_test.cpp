#include "net/curl_wrapper.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "base/result_codes.h"
#include "support/nginx_server.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using castmill::test::NginxOptions;
using castmill::test::NginxServer;
using castmill::test::read_file;
using castmill::test::TempDir;
using castmill::test::write_file;

constexpr int kTimeout = 30;

std::string pattern(size_t size, unsigned seed = 7) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>((i * 31 + seed) % 251);
    return text;
}

class CurlWrapperTest : public ::testing::Test {
protected:
    static constexpr size_t kSize = 100000;

    void SetUp() override {
        content_ = pattern(kSize);
        write_file(root_ / "file.bin", content_);
        write_file(root_ / "flaky.bin", content_);
        write_file(root_ / "limited.bin", content_);
        write_file(root_ / "docs" / "index.html", "<p>docs</p>");
        start({});
    }

    void start(NginxOptions options) {
        options.root = root_.path();
        options.extra_locations =
            "location = /busy.bin { return 429; }\n"
            "location = /broken.bin { return 500; }\n"
            // The probe (HEAD) is served; the transfer fails.
            "location = /flaky.bin { if ($request_method = GET) { return 500; } }\n"
            "location = /limited.bin { if ($request_method = GET) { return 429; } }\n";
        server_ = std::make_unique<NginxServer>(std::move(options));
        ASSERT_TRUE(server_->running()) << server_->error();
    }

    std::string url(const std::string& path) const { return server_->url(path); }

    TempDir root_;
    TempDir out_;
    std::string content_;
    std::unique_ptr<NginxServer> server_;
};

TEST_F(CurlWrapperTest, ResumableDownloadContinuesPartialFileWithRangeRequest) {
    CurlWrapper curl(kTimeout);
    const fs::path file = out_ / "a" / "b" / "file.bin";
    write_file(file, content_.substr(0, 30000));
    EXPECT_EQ(curl.download(url("/file.bin"), file, true, 0), 0);
    EXPECT_TRUE(read_file(file) == content_);
    EXPECT_NE(server_->access_log().find("GET /file.bin bytes=30000- 206"), std::string::npos)
        << server_->access_log();
}

TEST_F(CurlWrapperTest, ResumableDownloadStartsAfreshWhenNothingToResume) {
    CurlWrapper curl(kTimeout);
    const fs::path missing = out_ / "new" / "file.bin";
    EXPECT_EQ(curl.download(url("/file.bin"), missing, true, 0), 0);
    EXPECT_TRUE(read_file(missing) == content_);
    EXPECT_NE(server_->access_log().find("GET /file.bin - 200"), std::string::npos);

    // Without resume a longer stale file is replaced, not appended to.
    const fs::path stale = out_ / "stale.bin";
    write_file(stale, std::string(kSize + 500, 'x'));
    EXPECT_EQ(curl.download(url("/file.bin"), stale, false, 0), 0);
    EXPECT_TRUE(read_file(stale) == content_);
}

TEST_F(CurlWrapperTest, CompleteFileAnswered416CountsAsSuccess) {
    CurlWrapper curl(kTimeout);
    const fs::path file = out_ / "file.bin";
    write_file(file, content_);
    EXPECT_EQ(curl.download(url("/file.bin"), file, true, 0), 0);
    EXPECT_TRUE(read_file(file) == content_);
    EXPECT_NE(server_->access_log().find("416"), std::string::npos);
}

TEST_F(CurlWrapperTest, ResumableDownloadMapsStatusesAndKeepsThePartialFile) {
    CurlWrapper curl(kTimeout);
    const fs::path file = out_ / "partial.bin";
    write_file(file, "partial");
    EXPECT_EQ(curl.download(url("/busy.bin"), file, true, 0), velora::kDownloadTooManyRequests);
    EXPECT_EQ(curl.download(url("/broken.bin"), file, true, 0), velora::kDownloadHttpError);
    // The error pages are not written into the file, which a later resume continues.
    EXPECT_EQ(read_file(file), "partial");
    const fs::path fresh = out_ / "fresh.bin";
    EXPECT_EQ(curl.download(url("/busy.bin"), fresh, false, 0), velora::kDownloadTooManyRequests);
    EXPECT_EQ(curl.download(url("/missing.bin"), fresh, false, 0), velora::kDownloadHttpError);
    EXPECT_TRUE(fs::exists(fresh));
    EXPECT_EQ(fs::file_size(fresh), 0u);
}

TEST_F(CurlWrapperTest, DownloadReportsFolderAndFileErrors) {
    CurlWrapper curl(kTimeout);
    write_file(out_ / "plain", "not a folder");
    EXPECT_EQ(curl.download(url("/file.bin"), out_ / "plain" / "sub" / "x.bin", false, 0),
              velora::kDownloadDirError);
    fs::create_directories(out_ / "folder");
    EXPECT_EQ(curl.download(url("/file.bin"), out_ / "folder", false, 0),
              velora::kDownloadOpenError);
    EXPECT_EQ(curl.download(url("/file.bin"), out_ / "plain" / "sub" / "y.bin", std::int64_t{0},
                            std::int64_t{99}),
              velora::kDownloadDirError);
}

TEST_F(CurlWrapperTest, FailedFileWriteFailsTheDownload) {
    CurlWrapper curl(kTimeout);
    // Every write to /dev/full fails with "no space left", as on a full disk.
    EXPECT_EQ(curl.download(url("/file.bin"), "/dev/full", false, 0), CURLE_WRITE_ERROR);
}

TEST_F(CurlWrapperTest, RangedDownloadFetchesAndContinuesASlice) {
    CurlWrapper curl(kTimeout);
    const fs::path slice = out_ / "slice.part";
    EXPECT_EQ(curl.download(url("/file.bin"), slice, std::int64_t{1000}, std::int64_t{1999}), 0);
    EXPECT_TRUE(read_file(slice) == content_.substr(1000, 1000));

    const fs::path partial = out_ / "partial.part";
    write_file(partial, content_.substr(5000, 300));
    EXPECT_EQ(curl.download(url("/file.bin"), partial, std::int64_t{5000}, std::int64_t{5999}), 0);
    EXPECT_TRUE(read_file(partial) == content_.substr(5000, 1000));
    EXPECT_NE(server_->access_log().find("GET /file.bin bytes=5300-5999 206"), std::string::npos)
        << server_->access_log();

    const fs::path tail = out_ / "tail.part";
    EXPECT_EQ(curl.download(url("/file.bin"), tail, std::int64_t{90000}, std::int64_t{0}), 0);
    EXPECT_TRUE(read_file(tail) == content_.substr(90000));
}

TEST_F(CurlWrapperTest, CompleteSliceIsLeftUntouched) {
    CurlWrapper curl(kTimeout);
    const fs::path slice = out_ / "slice.part";
    write_file(slice, content_.substr(1000, 1000));
    const auto before = fs::last_write_time(slice);
    EXPECT_EQ(curl.download(url("/file.bin"), slice, std::int64_t{1000}, std::int64_t{1999}), 0);
    EXPECT_TRUE(read_file(slice) == content_.substr(1000, 1000));
    EXPECT_EQ(fs::last_write_time(slice), before);
    const std::string log = server_->access_log();
    EXPECT_NE(log.find("HEAD /file.bin bytes=2000-1999 416"), std::string::npos) << log;
    EXPECT_EQ(log.find("GET"), std::string::npos) << log;
}

TEST_F(CurlWrapperTest, SliceBeyondTheEndOfTheResourceIsNotComplete) {
    CurlWrapper curl(kTimeout);
    const fs::path slice = out_ / "slice.part";
    write_file(slice, content_.substr(kSize - 1000));
    EXPECT_EQ(curl.download(url("/file.bin"), slice, std::int64_t{kSize - 1000},
                            std::int64_t{kSize + 999}),
              velora::kDownloadRangeRejected);
    EXPECT_TRUE(read_file(slice) == content_.substr(kSize - 1000));
    // Open-ended, a 416 at the end of the resource is the finished slice.
    EXPECT_EQ(curl.download(url("/file.bin"), slice, std::int64_t{kSize - 1000}, std::int64_t{0}),
              0);
    EXPECT_TRUE(read_file(slice) == content_.substr(kSize - 1000));
}

TEST_F(CurlWrapperTest, OverlongSliceFileIsTruncatedAndFetchedAgain) {
    CurlWrapper curl(kTimeout);
    const fs::path slice = out_ / "slice.part";
    write_file(slice, std::string(1500, 'x'));
    EXPECT_EQ(curl.download(url("/file.bin"), slice, std::int64_t{1000}, std::int64_t{1999}), 0);
    EXPECT_TRUE(read_file(slice) == content_.substr(1000, 1000));
}

TEST_F(CurlWrapperTest, RangedTransferStatusesDeleteOrKeepTheSlice) {
    CurlWrapper curl(kTimeout);
    const fs::path broken = out_ / "broken.part";
    write_file(broken, content_.substr(0, 10));
    EXPECT_EQ(curl.download(url("/flaky.bin"), broken, std::int64_t{0}, std::int64_t{999}),
              velora::kDownloadHttpError);
    EXPECT_FALSE(fs::exists(broken));

    const fs::path limited = out_ / "limited.part";
    write_file(limited, content_.substr(0, 10));
    EXPECT_EQ(curl.download(url("/limited.bin"), limited, std::int64_t{0}, std::int64_t{999}),
              velora::kDownloadTooManyRequests);
    EXPECT_TRUE(read_file(limited).substr(0, 10) == content_.substr(0, 10));

    // A probe answered with an error status is a rejected range; nothing is written.
    const fs::path busy = out_ / "busy.part";
    EXPECT_EQ(curl.download(url("/busy.bin"), busy, std::int64_t{0}, std::int64_t{999}),
              velora::kDownloadRangeRejected);
    EXPECT_FALSE(fs::exists(busy));
}

TEST_F(CurlWrapperTest, ProbeAnsweredWithWholeFileRejectsTheRange) {
    NginxOptions options;
    options.ranges = false;
    start(std::move(options));
    CurlWrapper curl(kTimeout);
    const fs::path slice = out_ / "slice.part";
    EXPECT_EQ(curl.download(url("/file.bin"), slice, std::int64_t{0}, std::int64_t{999}),
              velora::kDownloadRangeRejected);
    EXPECT_FALSE(fs::exists(slice));
    EXPECT_EQ(server_->access_log().find("GET"), std::string::npos);
}

TEST_F(CurlWrapperTest, HeaderMapKeepsSingleColonLines) {
    CurlWrapper curl(kTimeout);
    HttpHeaderMap headers;
    std::string body;
    // The folder answers 301 with a Location holding ":"; the redirect is followed.
    EXPECT_EQ(curl.get(url("/docs"), headers, body), 0);
    EXPECT_EQ(body, "<p>docs</p>");
    EXPECT_EQ(headers.count("Location"), 0u);
    EXPECT_EQ(headers.count("Date"), 0u);
    EXPECT_EQ(headers.count("Last-Modified"), 0u);
    EXPECT_EQ(find_header(headers, "content-length"), "11");
    EXPECT_EQ(headers["Server"].rfind("nginx", 0), 0u);
    EXPECT_EQ(find_etag(headers).front(), '"');

    // The probe adds to the map without clearing it.
    HttpHeaderMap probed{{"Kept", "yes"}};
    EXPECT_EQ(curl.prepare_response_headers(url("/file.bin"), probed, 5), 0);
    EXPECT_EQ(probed["Kept"], "yes");
    EXPECT_EQ(find_header(probed, "CONTENT-LENGTH"), std::to_string(kSize));
    EXPECT_FALSE(find_etag(probed).empty());
}

TEST_F(CurlWrapperTest, GetReturnsBodyRegardlessOfStatus) {
    CurlWrapper curl(kTimeout);
    std::string body = "old";
    EXPECT_EQ(curl.get(url("/file.bin"), body), 0);
    EXPECT_TRUE(body == content_);
    EXPECT_EQ(curl.get(url("/missing.bin"), body), 0);
    EXPECT_NE(body.find("404"), std::string::npos);
}

TEST_F(CurlWrapperTest, ContentLengthProbe) {
    CurlWrapper curl(kTimeout);
    std::int64_t length = -5;
    EXPECT_EQ(curl.get_content_length(url("/file.bin"), length), 0);
    EXPECT_EQ(length, static_cast<std::int64_t>(kSize));
    EXPECT_EQ(curl.get_content_length(url("/missing.bin"), length), velora::kDownloadHttpError);
    EXPECT_EQ(length, 0);
}

TEST_F(CurlWrapperTest, ProgressCallbackSeesTheTransfer) {
    CurlWrapper curl(kTimeout);
    double total = 0, now = 0;
    curl.set_progress_callback([&](double dltotal, double dlnow, double, double) {
        total = dltotal;
        now = dlnow;
    });
    EXPECT_EQ(curl.download(url("/file.bin"), out_ / "f.bin", false, 0), 0);
    EXPECT_EQ(total, static_cast<double>(kSize));
    EXPECT_EQ(now, static_cast<double>(kSize));
}

TEST_F(CurlWrapperTest, CancelAbortsTransfersButNotProbes) {
    CurlWrapper curl(kTimeout);
    curl.cancel();
    std::string body;
    EXPECT_EQ(curl.get(url("/file.bin"), body), CURLE_ABORTED_BY_CALLBACK);
    EXPECT_EQ(curl.download(url("/file.bin"), out_ / "c.bin", false, 0), CURLE_ABORTED_BY_CALLBACK);
    HttpHeaderMap headers;
    EXPECT_EQ(curl.prepare_response_headers(url("/file.bin"), headers, 0), 0);
    EXPECT_EQ(find_header(headers, "content-length"), std::to_string(kSize));
    // The ranged download's probe still runs; its transfer is aborted.
    EXPECT_EQ(curl.download(url("/file.bin"), out_ / "s.part", std::int64_t{0}, std::int64_t{9}),
              CURLE_ABORTED_BY_CALLBACK);
    EXPECT_NE(server_->access_log().find("HEAD /file.bin bytes=0-9 206"), std::string::npos);
}

TEST_F(CurlWrapperTest, CancelFromAnotherThreadStopsARunningTransfer) {
    CurlWrapper curl(kTimeout);
    curl.set_progress_callback([&](double, double dlnow, double, double) {
        if (dlnow > 0) std::thread([&curl] { curl.cancel(); }).join();
    });
    EXPECT_EQ(curl.download(url("/file.bin"), out_ / "c.bin", false, 0), CURLE_ABORTED_BY_CALLBACK);
}

TEST_F(CurlWrapperTest, DownloadsRequestBlanksAsPercent20) {
    write_file(root_ / "with blank" / "a b.bin", content_.substr(0, 500));
    CurlWrapper curl(kTimeout);
    EXPECT_EQ(curl.download(url("/with blank/a b.bin"), out_ / "a.bin", false, 0), 0);
    EXPECT_TRUE(read_file(out_ / "a.bin") == content_.substr(0, 500));
    EXPECT_EQ(curl.download(url("/with blank/a b.bin"), out_ / "b.part", std::int64_t{100},
                            std::int64_t{199}),
              0);
    EXPECT_TRUE(read_file(out_ / "b.part") == content_.substr(100, 100));
    // The GETs take the URL as it is, and libcurl refuses the blank.
    std::string body;
    EXPECT_EQ(curl.get(url("/with blank/a b.bin"), body), CURLE_URL_MALFORMAT);
    const std::string log = server_->access_log();
    EXPECT_NE(log.find("GET /with%20blank/a%20b.bin - 200"), std::string::npos) << log;
    EXPECT_NE(log.find("GET /with%20blank/a%20b.bin bytes=100-199 206"), std::string::npos) << log;
}

TEST_F(CurlWrapperTest, ObjectWithoutHandleFailsWithoutTouchingFiles) {
    CurlWrapper original(kTimeout);
    CurlWrapper moved(std::move(original));
    std::string body;
    HttpHeaderMap headers;
    std::int64_t length = 0;
    EXPECT_EQ(original.get(url("/file.bin"), body), CURLE_FAILED_INIT);
    EXPECT_EQ(original.get(url("/file.bin"), headers, body), CURLE_FAILED_INIT);
    EXPECT_EQ(original.prepare_response_headers(url("/file.bin"), headers, 0), CURLE_FAILED_INIT);
    EXPECT_EQ(original.get_content_length(url("/file.bin"), length), CURLE_FAILED_INIT);
    EXPECT_EQ(original.download(url("/file.bin"), out_ / "n.bin", false, 0), CURLE_FAILED_INIT);
    EXPECT_FALSE(fs::exists(out_ / "n.bin"));
    EXPECT_EQ(moved.get(url("/file.bin"), body), 0);
    EXPECT_TRUE(body == content_);
}

// Offsets past 2 GiB, against sparse files so the test costs no disk.
TEST_F(CurlWrapperTest, ResumesAndSlicesBeyondTwoGigabytes) {
    constexpr std::int64_t kTail = 4096;
    constexpr std::int64_t kBig = (std::int64_t{1} << 31) + 3 * kTail;
    const std::string tail = pattern(kTail, 3);
    {
        const fs::path served = root_ / "big.bin";
        std::ofstream out(served, std::ios::binary);
        out.seekp(kBig - kTail);
        out.write(tail.data(), kTail);
        ASSERT_TRUE(out);
    }
    CurlWrapper curl(kTimeout);
    const fs::path file = out_ / "big.bin";
    { std::ofstream(file, std::ios::binary); }
    fs::resize_file(file, kBig - kTail);
    ASSERT_EQ(curl.download(url("/big.bin"), file, true, 0), 0);
    EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(file)), kBig);
    std::ifstream in(file, std::ios::binary);
    in.seekg(kBig - kTail);
    std::string written(kTail, '\0');
    in.read(written.data(), kTail);
    EXPECT_TRUE(written == tail);
    EXPECT_NE(server_->access_log().find("bytes=" + std::to_string(kBig - kTail) + "- 206"),
              std::string::npos)
        << server_->access_log();

    const fs::path slice = out_ / "big.part";
    EXPECT_EQ(curl.download(url("/big.bin"), slice, kBig - kTail, kBig - 1), 0);
    EXPECT_TRUE(read_file(slice) == tail);
}

}  // namespace
