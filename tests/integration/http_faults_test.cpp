#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "base/result_codes.h"
#include "net/curl_wrapper.h"
#include "support/dist_server.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using castmill::test::DistServer;
using castmill::test::DistServerOptions;
using castmill::test::FaultRule;
using castmill::test::read_file;
using castmill::test::TempDir;
using castmill::test::write_file;

constexpr int kTimeout = 30;
constexpr size_t kSize = 200000;

// Downloads against the distribution server with injected faults.
class HttpFaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        content_.resize(kSize);
        for (size_t i = 0; i < kSize; ++i) content_[i] = static_cast<char>((i * 131 + 5) % 253);
        write_file(dir_ / "suite" / "bin" / "app.dll", content_);
        DistServerOptions options;
        options.release =
            castmill::test::publish_release(dir_ / "suite", "2.0.0", dir_ / "release");
        server_ = std::make_unique<DistServer>(std::move(options));
        path_ = server_->release_path_of("bin/app.dll");
        url_ = server_->url() + path_;
    }

    std::vector<castmill::test::RecordedRequest> gets() const {
        std::vector<castmill::test::RecordedRequest> out;
        for (const auto& r : server_->requests())
            if (r.method == "GET" && r.path == path_) out.push_back(r);
        return out;
    }

    TempDir dir_;
    TempDir out_;
    std::string content_;
    std::unique_ptr<DistServer> server_;
    std::string path_;
    std::string url_;
};

TEST_F(HttpFaultsTest, CutTransferIsResumedWhereItStopped) {
    server_->cut_after(path_, 30000, 1);
    CurlWrapper curl(kTimeout);
    const fs::path file = out_ / "app.dll";
    EXPECT_EQ(curl.download(url_, file, true, 0), CURLE_PARTIAL_FILE);
    const std::string partial = read_file(file);
    ASSERT_GT(partial.size(), 0u);
    ASSERT_LT(partial.size(), kSize);
    EXPECT_TRUE(partial == content_.substr(0, partial.size()));

    EXPECT_EQ(curl.download(url_, file, true, 0), 0);
    EXPECT_TRUE(read_file(file) == content_);
    const auto requests = gets();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].range, "bytes=" + std::to_string(partial.size()) + "-");
}

TEST_F(HttpFaultsTest, StatusesOfTheResumableDownload) {
    CurlWrapper curl(kTimeout);
    const fs::path file = out_ / "app.dll";
    write_file(file, content_.substr(0, 1000));

    server_->fail_next(path_, 429);
    EXPECT_EQ(curl.download(url_, file, true, 0), velora::kDownloadTooManyRequests);
    server_->fail_next(path_, 500);
    EXPECT_EQ(curl.download(url_, file, true, 0), velora::kDownloadHttpError);
    server_->fail_next(path_, 404);
    EXPECT_EQ(curl.download(url_, file, true, 0), velora::kDownloadHttpError);
    // Nothing of the error answers went into the partial file, so the resume is exact.
    EXPECT_TRUE(read_file(file) == content_.substr(0, 1000));
    EXPECT_EQ(curl.download(url_, file, true, 0), 0);
    EXPECT_TRUE(read_file(file) == content_);
}

TEST_F(HttpFaultsTest, ResumeRefusedByTheServerLeavesThePartialFileIntact) {
    server_->ignore_ranges(path_, 1);
    CurlWrapper curl(kTimeout);
    const fs::path file = out_ / "app.dll";
    write_file(file, content_.substr(0, 1000));
    EXPECT_EQ(curl.download(url_, file, true, 0), CURLE_RANGE_ERROR);
    EXPECT_TRUE(read_file(file) == content_.substr(0, 1000));
}

TEST_F(HttpFaultsTest, AnswerOfAnotherRangeWritesNothing) {
    FaultRule wrong;
    wrong.path = path_;
    wrong.wrong_range = true;
    server_->add_fault(wrong);
    const fs::path part = out_ / "part";
    write_file(part, content_.substr(50000, 1000));
    CurlWrapper slices(kTimeout);
    EXPECT_EQ(slices.download(url_, part, int64_t{50000}, int64_t{99999}), CURLE_RANGE_ERROR);
    EXPECT_TRUE(read_file(part) == content_.substr(50000, 1000));
    const fs::path file = out_ / "app.dll";
    write_file(file, content_.substr(0, 1000));
    CurlWrapper whole(kTimeout);
    EXPECT_EQ(whole.download(url_, file, true, 0), CURLE_RANGE_ERROR);
    EXPECT_TRUE(read_file(file) == content_.substr(0, 1000));

    // A slice whose answer has no length and ends early is cut, not complete.
    server_->clear_faults();
    FaultRule cut;
    cut.path = path_;
    cut.no_length = true;
    cut.cut_after = 20000;
    cut.times = 2;  // the probe and the transfer
    server_->add_fault(cut);
    EXPECT_EQ(slices.download(url_, part, int64_t{50000}, int64_t{99999}), CURLE_PARTIAL_FILE);
    EXPECT_TRUE(read_file(part) == content_.substr(50000, 21000));
    EXPECT_EQ(slices.download(url_, part, int64_t{50000}, int64_t{99999}), 0);
    EXPECT_TRUE(read_file(part) == content_.substr(50000, 50000));
}

TEST_F(HttpFaultsTest, StalledOrSilentServerEndsTheTransferAtTheStallLimit) {
    const velora::StallLimit limit{1000, 1};
    FaultRule stall;
    stall.path = path_;
    stall.times = 1;
    stall.stall_after = 1000;
    stall.stall_ms = 60000;
    server_->add_fault(stall);
    CurlWrapper curl(kTimeout, limit);
    const fs::path file = out_ / "app.dll";
    EXPECT_EQ(curl.download(url_, file, true, 0), CURLE_OPERATION_TIMEDOUT);
    EXPECT_TRUE(read_file(file) == content_.substr(0, 1000));
    EXPECT_EQ(curl.download(url_, file, true, 0), 0);
    EXPECT_TRUE(read_file(file) == content_);

    // No answer at all: to a request, and to a slice's probe.
    server_->delay(path_, std::chrono::minutes(1), 2);
    std::string body;
    EXPECT_EQ(curl.get(url_, body), CURLE_OPERATION_TIMEDOUT);
    CurlWrapper slices(kTimeout, limit);
    EXPECT_EQ(slices.download(url_, out_ / "part", int64_t{0}, int64_t{999}),
              CURLE_OPERATION_TIMEDOUT);
}

}  // namespace
