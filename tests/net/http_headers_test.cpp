#include <gtest/gtest.h>

#include <cstring>

#include "net/curl_wrapper.h"

namespace {

void record(const char* line, HttpHeaderMap& headers) {
    record_header_line(line, std::strlen(line), headers);
}

TEST(HeaderMap, RecordsOnlyLinesWithExactlyOneColon) {
    HttpHeaderMap headers;
    record("HTTP/1.1 200 OK\r\n", headers);
    record("\r\n", headers);
    record("Location: http://127.0.0.1:8080/next\r\n", headers);
    record("Date: Tue, 08 Dec 2026 18:05:14 GMT\r\n", headers);
    EXPECT_TRUE(headers.empty());

    record("Content-Length: 100\r\n", headers);
    record(" ETag \t:\t\"5f-abc\" \r\n", headers);
    EXPECT_EQ(headers.size(), 2u);
    EXPECT_EQ(headers["Content-Length"], "100");
    EXPECT_EQ(headers["ETag"], "\"5f-abc\"");

    // A later response (after a redirect) replaces the value; names compare exactly.
    record("Content-Length: 7\r\n", headers);
    record("content-length: 9\r\n", headers);
    EXPECT_EQ(headers["Content-Length"], "7");
    EXPECT_EQ(headers["content-length"], "9");
}

TEST(HeaderMap, LookupIgnoresCaseAndTakesTheFirstMatch) {
    const HttpHeaderMap headers{{"Content-Length", "42"}, {"ETag", "\"a\""}, {"etag", "\"b\""}};
    EXPECT_EQ(find_header(headers, "content-length"), "42");
    EXPECT_EQ(find_header(headers, "CONTENT-LENGTH"), "42");
    EXPECT_EQ(find_etag(headers), "\"a\"");
    EXPECT_EQ(find_header(headers, "Content-Type"), "");
    EXPECT_EQ(find_etag(HttpHeaderMap{}), "");
}

}  // namespace
