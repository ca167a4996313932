#pragma once

#include <curl/curl.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// One part of a multipart/form-data post: a text field, or the contents of a file.
struct FormPart {
    std::string name;
    std::string value;  // the text, or the file's UTF-8 path
    bool is_file = false;
};

// One-shot requests to JSON services, each on a fresh easy handle. Returns libcurl's
// result (2 when no handle could be created); the HTTP status is left to the caller.
class HttpHelper {
public:
    explicit HttpHelper(bool debug = false) : debug_(debug) {}

    // `extra_headers` are complete header lines ("Name:value"); the body is appended
    // to `response`.
    int get_json(const std::string& url, std::string& response,
                 const std::vector<std::string>& extra_headers, int timeout_seconds) const;
    // Posts `body`, a URL-encoded form, and appends the answer to `response`.
    int post_form(const std::string& url, const std::string& body, std::string& response,
                  const std::vector<std::string>& extra_headers, int timeout_seconds) const;

    // Posts `parts` as multipart/form-data with the transfer traced as text into the log.
    // The body of the answer is appended to `response`, its HTTP status (0 when none
    // came) is stored in `status`.
    int post_multipart(const std::string& url, const std::vector<FormPart>& parts,
                       std::string& response, long& status,
                       const std::vector<std::string>& extra_headers, int timeout_seconds) const;

private:
    int perform(const std::string& url, const std::string* form, std::string& response,
                const std::vector<std::string>& extra_headers, int timeout_seconds) const;

    bool debug_ = false;
};

// What curl_trace dumps: text lines (true) or hex with characters (false), and where:
// the local log unless a sink is given (tests).
struct TraceConfig {
    bool text_mode = false;
    std::function<void(const std::string&)> sink;
};

// A CURLOPT_DEBUGFUNCTION that dumps the transfer to the local log, never to the console;
// credentials in it (the ltoken header, authorisation, signatures, keys) are replaced by
// "<hidden>". `user` points to a TraceConfig. Always returns 0.
int curl_trace(CURL* handle, curl_infotype type, char* data, size_t size, void* user);

// The transfer text with the values of credential headers and form fields hidden.
std::string hide_credentials(std::string_view text);
