#include "net/http_helper.h"

#include <gtest/gtest.h>

#include <string>

#include "support/nginx_server.h"
#include "support/test_env.h"

namespace {

using castmill::test::NginxOptions;
using castmill::test::NginxServer;
using castmill::test::TempDir;
using castmill::test::write_file;

class HttpHelperTest : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(root_ / "myip.json", R"({"ip":"127.0.0.1"})");
        NginxOptions options;
        options.root = root_.path();
        options.extra_locations = R"(location = /token { return 200 '{"token":"t"}'; })";
        server_ = std::make_unique<NginxServer>(std::move(options));
        ASSERT_TRUE(server_->running()) << server_->error();
    }

    TempDir root_;
    std::unique_ptr<NginxServer> server_;
};

TEST_F(HttpHelperTest, GetJsonSendsJsonHeadersAndAppendsTheBody) {
    HttpHelper helper(true);
    std::string response = "prefix:";
    ::testing::internal::CaptureStdout();
    const int result = helper.get_json(server_->url("/myip.json"), response, {"X-Sign:abc"}, 4);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(response, R"(prefix:{"ip":"127.0.0.1"})");
    EXPECT_NE(printed.find("[HEADER_OUT]GET /myip.json HTTP/1.1\r\n"), std::string::npos)
        << printed;
    EXPECT_NE(printed.find("Accept:application/json\r\nContent-Type:application/json\r\n"
                           "charset:utf-8\r\nX-Sign:abc\r\n"),
              std::string::npos)
        << printed;
    EXPECT_NE(printed.find("[HEADER_IN]HTTP/1.1 200 OK\r\n\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find(R"([DATA_IN]{"ip":"127.0.0.1"})"), std::string::npos) << printed;

    // The status is the caller's to judge.
    std::string missing;
    EXPECT_EQ(HttpHelper().get_json(server_->url("/none.json"), missing, {}, 4), 0);
    EXPECT_NE(missing.find("404"), std::string::npos);
}

TEST_F(HttpHelperTest, PostFormSendsTheBodyUpToTheFirstNul) {
    HttpHelper helper(true);
    std::string response;
    ::testing::internal::CaptureStdout();
    const int result =
        helper.post_form(server_->url("/token"), std::string("a=1&b=2\0c=3", 11), response, {}, 10);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(response, R"({"token":"t"})");
    EXPECT_NE(printed.find("[HEADER_OUT]POST /token HTTP/1.1\r\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("Content-Type:application/x-www-form-urlencoded\r\n"),
              std::string::npos);
    EXPECT_NE(printed.find("Content-Length: 7\r\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("[DATA_OUT]a=1&b=2\n"), std::string::npos) << printed;
}

TEST_F(HttpHelperTest, UnreachableServerIsLibcurlsError) {
    const int port = server_->port();
    server_.reset();
    std::string response;
    EXPECT_EQ(
        HttpHelper().get_json("http://127.0.0.1:" + std::to_string(port) + "/", response, {}, 4),
        CURLE_COULDNT_CONNECT);
    EXPECT_TRUE(response.empty());
}

}  // namespace
