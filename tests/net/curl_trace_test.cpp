#include <gtest/gtest.h>

#include <string>

#include "net/http_helper.h"

namespace {

// What the trace dumps; nothing reaches the console.
std::string trace(curl_infotype type, std::string data, bool text_mode) {
    std::string dumped;
    TraceConfig config{text_mode, [&](const std::string& text) { dumped += text; }};
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(curl_trace(nullptr, type, data.data(), data.size(), &config), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    return dumped;
}

TEST(CurlTrace, TextModeBreaksLinesAtCarriageReturnLineFeed) {
    EXPECT_EQ(trace(CURLINFO_HEADER_OUT, "GET / HTTP/1.1\r\nHost: x\r\n", true),
              "=> Send header, 0000000025 bytes (0x00000019)\n"
              "0000: GET / HTTP/1.1\n"
              "0010: Host: x\n");
    EXPECT_EQ(trace(CURLINFO_TEXT, "Connected\n", true), "== Info: Connected\n");
}

TEST(CurlTrace, HexModeShowsBytesAndPrintableCharacters) {
    const std::string padding(13 * 3, ' ');
    EXPECT_EQ(trace(CURLINFO_DATA_IN, std::string("ab\x01", 3), false),
              "<= Recv data, 0000000003 bytes (0x00000003)\n"
              "0000: 61 62 01 " +
                  padding + "ab.\n");
    const std::string seventeen = "0123456789abcdef\x80";
    EXPECT_EQ(trace(CURLINFO_SSL_DATA_OUT, seventeen, false),
              "=> Send SSL data, 0000000017 bytes (0x00000011)\n"
              "0000: 30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66 0123456789abcdef\n"
              "0010: 80 " +
                  std::string(15 * 3, ' ') + ".\n");
}

TEST(CurlTrace, LongTextLinesWrapAtSixtyFourCharacters) {
    const std::string text(70, 'x');
    EXPECT_EQ(trace(CURLINFO_DATA_OUT, text, true),
              "=> Send data, 0000000070 bytes (0x00000046)\n0000: " + std::string(64, 'x') +
                  "\n0040: " + std::string(6, 'x') + "\n");
    EXPECT_EQ(trace(CURLINFO_END, "ignored", true), "");
}

TEST(CurlTrace, CredentialsAreHiddenBeforeLinesAreCut) {
    const std::string token(80, 'T');
    const std::string dumped = trace(
        CURLINFO_HEADER_OUT,
        "POST /log HTTP/1.1\r\nHost: x\r\nltoken:" + token + "\r\nAuthorization: Basic abc\r\n",
        true);
    EXPECT_EQ(dumped.find("TTTT"), std::string::npos) << dumped;
    EXPECT_EQ(dumped.find("abc"), std::string::npos) << dumped;
    EXPECT_NE(dumped.find("ltoken:<hidden>"), std::string::npos) << dumped;
    EXPECT_NE(dumped.find("Host: x"), std::string::npos) << dumped;
}

TEST(CurlTrace, SignaturesAndKeysInFormsAreHidden) {
    EXPECT_EQ(hide_credentials("appId=castmill&sign=0a1b2c&time=5\n"),
              "appId=castmill&sign=<hidden>&time=5\n");
    EXPECT_EQ(hide_credentials("GET /x?key=secret&a=1 HTTP/1.1\r\n"),
              "GET /x?key=<hidden>&a=1 HTTP/1.1\r\n");
    EXPECT_EQ(hide_credentials("Set-Cookie: s=1\r\nContent-Type: text/plain\r\n"),
              "Set-Cookie:<hidden>\r\nContent-Type: text/plain\r\n");
    EXPECT_EQ(hide_credentials("text=upload done"), "text=upload done");
}

}  // namespace
