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

TEST(ContentRange, AcceptsOnlyTheSliceAskedFor) {
    EXPECT_EQ(accepted_range_length("bytes 100-199/1000", 100, 199), 100);
    EXPECT_EQ(accepted_range_length(" bytes 100-999/1000 ", 100, -1), 900);
    EXPECT_EQ(accepted_range_length("bytes 100-199/*", 100, 199), 100);
    EXPECT_EQ(accepted_range_length("bytes 100-5000/*", 100, -1), 4901);
    // A slice asked past the end comes clipped at the resource's last byte.
    EXPECT_EQ(accepted_range_length("bytes 900-999/1000", 900, 1500), 100);

    EXPECT_EQ(accepted_range_length("bytes 0-99/1000", 100, 199), -1);     // another start
    EXPECT_EQ(accepted_range_length("bytes 100-150/1000", 100, 199), -1);  // cut short
    EXPECT_EQ(accepted_range_length("bytes 100-250/1000", 100, 199), -1);  // longer
    EXPECT_EQ(accepted_range_length("bytes 100-500/1000", 100, -1), -1);   // not to the end
    EXPECT_EQ(accepted_range_length("bytes 100-150/*", 100, 199), -1);
    EXPECT_EQ(accepted_range_length("bytes 100-1000/1000", 100, -1), -1);  // past the total
    EXPECT_EQ(accepted_range_length("bytes 199-100/1000", 199, -1), -1);
    for (const char* bad : {"", "bytes */1000", "items 100-199/1000", "bytes 100-199",
                            "bytes -100-199/1000", "bytes 100-199/1000x", "bytes=100-199/1000"}) {
        EXPECT_EQ(accepted_range_length(bad, 100, 199), -1) << bad;
    }
}

}  // namespace
