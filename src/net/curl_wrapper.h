#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "base/result_codes.h"
#include "net/stall_limit.h"

// Owners of libcurl and C stdio resources, so every path releases them.
struct CurlEasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlSlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlMimeDeleter {
    void operator()(curl_mime* mime) const { curl_mime_free(mime); }
};
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using CurlHandle = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlHeaderList = std::unique_ptr<curl_slist, CurlSlistDeleter>;
using CurlMimePtr = std::unique_ptr<curl_mime, CurlMimeDeleter>;
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Turns on peer and host verification. When CASTMILL_CA_BUNDLE names a file, that file
// becomes the CA file: libcurl with OpenSSL takes a single CA file, so the system bundle
// file is replaced, while the system's hashed CA directory (libcurl's built-in CA path)
// stays in use for public servers.
void apply_tls_settings(CURL* handle);

// Response headers by name, names compared exactly.
using HttpHeaderMap = std::map<std::string, std::string>;

// Results of both downloads are 0, libcurl's own codes, or the client's kDownload* codes
// (base/result_codes.h), which lie above every libcurl code.
static_assert(static_cast<int>(CURL_LAST) <= velora::kDownloadDirError);
// A 206 that is not the range asked for, or a 200 to a request that continues a file, ends
// the transfer before any of its bytes are written with libcurl's CURLE_RANGE_ERROR (33),
// the code libcurl itself gives a server that does not resume. A canceled transfer ends
// with CURLE_ABORTED_BY_CALLBACK.
static_assert(velora::kSetupDownloadFailedBase + CURLE_ABORTED_BY_CALLBACK ==
              velora::kSetupDownloadCancelled);

// A stateful HTTP client owning one easy handle and a set of request headers. Used by one
// thread at a time, except cancel(), which any thread may call.
class CurlWrapper {
public:
    // Takes (data, element size, element count); returns the bytes it took. Fewer than
    // offered makes libcurl end the transfer with CURLE_WRITE_ERROR.
    using WriteCallback = std::function<size_t(const char* data, size_t size, size_t count)>;
    // (download total, downloaded now, upload total, uploaded now)
    using ProgressCallback =
        std::function<void(double dltotal, double dlnow, double ultotal, double ulnow)>;

    explicit CurlWrapper(int timeout_seconds, velora::StallLimit stall = {});
    ~CurlWrapper();
    // A moved-from object has no handle: its operations return CURLE_FAILED_INIT.
    CurlWrapper(CurlWrapper&& other) noexcept;
    CurlWrapper(const CurlWrapper&) = delete;
    CurlWrapper& operator=(const CurlWrapper&) = delete;
    CurlWrapper& operator=(CurlWrapper&&) = delete;

    void set_header(const std::string& name, const std::string& value);
    void set_progress_callback(ProgressCallback callback);
    // Sees the body bytes that later downloads write to their file, as they are written;
    // false ends the transfer with CURLE_WRITE_ERROR. Null: none.
    using DataTap = std::function<bool(const char* data, size_t bytes)>;
    void set_data_tap(DataTap tap) { data_tap_ = std::move(tap); }
    void cancel();
    // At most this many body bytes per later GET or download (for a resumed download: of
    // the whole file, the part on disk included); more ends the transfer with
    // CURLE_FILESIZE_EXCEEDED. Negative: no limit.
    void set_size_limit(std::int64_t bytes);
    // The connect and whole-request time limit of later requests (0: none).
    void set_timeout(int seconds) { timeout_seconds_ = seconds; }
    // The HTTP status of the last request (0 when none was answered).
    long last_status() const { return response_code(); }

    int get(const std::string& url, std::string& body);
    int get(const std::string& url, HttpHeaderMap& response_headers, std::string& body);
    int prepare_response_headers(const std::string& url, HttpHeaderMap& response_headers,
                                 int timeout_seconds);
    int get_content_length(const std::string& url, std::int64_t& length);

    // Whole file, continuing a partial one when is_breakpoint_resume; timeout 0 = 3600 s.
    int download(const std::string& url, const std::filesystem::path& file,
                 bool is_breakpoint_resume, int timeout_seconds);
    // Bytes start..end (inclusive) of the resource into file, continuing a partial file;
    // end <= 0 runs to the end of the resource.
    int download(const std::string& url, const std::filesystem::path& file, std::int64_t start,
                 std::int64_t end);
    // Other argument types would silently pick the resumable overload (int converts to
    // bool): a slice must be asked for with std::int64_t offsets.
    template <typename Start, typename End>
    int download(const std::string&, const std::filesystem::path&, Start, End) = delete;

    // HTTP status of the last request; 0 when none was answered.
    long response_code() const;

private:
    // A GET into body; the response headers into *response_headers when given.
    int get_body(const std::string& url, HttpHeaderMap* response_headers, std::string& body);
    void prepare_request();
    void apply_system_proxy();
    void set_probe_options(const std::string& url);
    // A fresh probe of `url` (no body, the file time asked for), performed.
    CURLcode perform_probe(const std::string& url);
    void set_transfer_options(const std::string& url);
    // Writes the answer of the prepared request to `file`; a 206 must carry the range that
    // starts at `first` and ends at `last` (-1: the end of the resource).
    int perform_with_file(const std::filesystem::path& file, bool append, std::int64_t first,
                          std::int64_t last);
    // Counts body bytes against the limit; false once they pass it.
    bool within_limit(size_t bytes);
    int limited(int result) const;

    static size_t write_adapter(char* data, size_t size, size_t count, void* user);
    static int progress_adapter(void* user, curl_off_t dltotal, curl_off_t dlnow,
                                curl_off_t ultotal, curl_off_t ulnow);
    static size_t header_map_adapter(char* data, size_t size, size_t count, void* user);
    static size_t answer_header_adapter(char* data, size_t size, size_t count, void* user);
    static size_t discard_adapter(char* data, size_t size, size_t count, void* user);

    // Declared before the handle so the handle, which points to it, goes first.
    CurlHeaderList header_list_;
    CurlHandle handle_;
    std::map<std::string, std::string> headers_;
    WriteCallback write_callback_;
    ProgressCallback progress_callback_;
    DataTap data_tap_;
    int timeout_seconds_ = 0;
    velora::StallLimit stall_;
    std::int64_t size_limit_ = -1;
    std::int64_t allowed_bytes_ = -1;  // of the running transfer
    std::int64_t body_bytes_ = 0;
    bool limit_passed_ = false;
    std::atomic<bool> canceled_{false};
};

// Value of the first entry named "etag", ignoring ASCII case; empty when there is none.
std::string find_etag(const HttpHeaderMap& headers);
// Value of the first entry whose name equals `name` ignoring ASCII case; empty if none.
std::string find_header(const HttpHeaderMap& headers, const std::string& name);

// How many bytes a 206 answer with this Content-Range may carry for the slice first..last
// (inclusive; last -1: to the end of the resource), or -1 when it is not that slice. A slice
// asked beyond the end of the resource may come clipped at the resource's last byte.
std::int64_t accepted_range_length(const std::string& content_range, std::int64_t first,
                                   std::int64_t last);

// Records one response header line into the map: only "name: value" lines with exactly
// one colon are kept, trimmed; a later line with the same name replaces the earlier one.
void record_header_line(const char* line, size_t length, HttpHeaderMap& headers);
