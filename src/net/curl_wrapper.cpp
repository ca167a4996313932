#include "net/curl_wrapper.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "base/logger.h"
#include "base/result_codes.h"
#include "net/service_hosts.h"
#include "sys/proxy.h"

using velora::kDownloadDirError;
using velora::kDownloadHttpError;
using velora::kDownloadOpenError;
using velora::kDownloadRangeRejected;
using velora::kDownloadTooManyRequests;

namespace {

constexpr int kDefaultDownloadTimeoutSeconds = 3600;
constexpr char kWhiteSpace[] = " \t\n\v\f\r";

// The file store's paths may hold blanks; a URL may not.
std::string encode_blanks(const std::string& url) {
    std::string encoded;
    encoded.reserve(url.size());
    for (char c : url) {
        if (c == ' ')
            encoded += "%20";
        else
            encoded += c;
    }
    return encoded;
}

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(kWhiteSpace);
    if (first == std::string::npos) return {};
    const size_t last = text.find_last_not_of(kWhiteSpace);
    return text.substr(first, last - first + 1);
}

bool equals_ignoring_case(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
        if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// Size of an existing file, 0 for a missing one, -1 when it cannot be read.
std::int64_t existing_size(const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) return ec ? -1 : 0;
    const auto size = std::filesystem::file_size(file, ec);
    return ec ? -1 : static_cast<std::int64_t>(size);
}

FilePtr open_file(const std::filesystem::path& file, bool append) {
#ifdef _WIN32
    return FilePtr(_wfopen(file.c_str(), append ? L"ab" : L"wb"));
#else
    return FilePtr(std::fopen(file.c_str(), append ? "ab" : "wb"));
#endif
}

// Reads a decimal number at `at` and moves past it; false when there are no digits.
bool read_number(const std::string& text, size_t& at, std::int64_t& value) {
    const char* begin = text.data() + at;
    const auto [end, ec] = std::from_chars(begin, text.data() + text.size(), value);
    if (ec != std::errc() || end == begin || value < 0) return false;
    at += static_cast<size_t>(end - begin);
    return true;
}

bool ensure_parent(const std::filesystem::path& file) {
    const auto parent = file.parent_path();
    if (parent.empty()) return true;
    std::error_code ec;
    if (std::filesystem::exists(parent, ec)) return true;
    std::filesystem::create_directories(parent, ec);
    return !ec;
}

}  // namespace

void apply_tls_settings(CURL* handle) {
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (const auto bundle = velora::st::ca_bundle_override())
        curl_easy_setopt(handle, CURLOPT_CAINFO, bundle->c_str());
}

void record_header_line(const char* line, size_t length, HttpHeaderMap& headers) {
    const std::string text(line, length);
    std::vector<std::string> pieces;
    size_t begin = 0;
    while (true) {
        const size_t colon = text.find(':', begin);
        pieces.push_back(text.substr(begin, colon - begin));
        if (colon == std::string::npos) break;
        begin = colon + 1;
    }
    if (pieces.size() != 2) return;
    headers[trim(pieces[0])] = trim(pieces[1]);
}

std::int64_t accepted_range_length(const std::string& content_range, std::int64_t first,
                                   std::int64_t last) {
    // "bytes FIRST-LAST/TOTAL", where TOTAL may be "*" (unknown).
    const std::string text = trim(content_range);
    constexpr std::string_view kUnit = "bytes ";
    if (text.compare(0, kUnit.size(), kUnit) != 0) return -1;
    size_t at = kUnit.size();
    std::int64_t got_first = 0;
    std::int64_t got_last = 0;
    std::int64_t total = -1;
    if (!read_number(text, at, got_first) || at >= text.size() || text[at++] != '-') return -1;
    if (!read_number(text, at, got_last) || at >= text.size() || text[at++] != '/') return -1;
    if (text.compare(at, std::string::npos, "*") != 0) {
        if (!read_number(text, at, total) || at != text.size()) return -1;
        if (got_last >= total) return -1;
    }
    if (got_first != first || got_last < got_first) return -1;
    const bool at_resource_end = total >= 0 && got_last == total - 1;
    if (last < 0) {
        if (total >= 0 && !at_resource_end) return -1;
    } else if (got_last != last && !(got_last < last && at_resource_end)) {
        return -1;
    }
    return got_last - got_first + 1;
}

std::string find_header(const HttpHeaderMap& headers, const std::string& name) {
    for (const auto& [key, value] : headers) {
        if (equals_ignoring_case(key, name)) return value;
    }
    return {};
}

std::string find_etag(const HttpHeaderMap& headers) { return find_header(headers, "etag"); }

CurlWrapper::CurlWrapper(int timeout_seconds, velora::StallLimit stall)
    : handle_(curl_easy_init()), timeout_seconds_(timeout_seconds), stall_(stall) {
    headers_["User-Agent"] = "castmill";
    if (!handle_) return;
    // The base options, without headers: each operation prepares its own request anyway.
    const auto headers = std::exchange(headers_, {});
    prepare_request();
    headers_ = headers;
}

CurlWrapper::~CurlWrapper() = default;

CurlWrapper::CurlWrapper(CurlWrapper&& other) noexcept
    : handle_(std::move(other.handle_)),
      headers_(std::move(other.headers_)),
      progress_callback_(std::move(other.progress_callback_)),
      timeout_seconds_(other.timeout_seconds_),
      stall_(other.stall_),
      canceled_(other.canceled_.load()) {}

void CurlWrapper::set_header(const std::string& name, const std::string& value) {
    headers_[name] = value;
}

void CurlWrapper::set_progress_callback(ProgressCallback callback) {
    progress_callback_ = std::move(callback);
}

void CurlWrapper::cancel() { canceled_.exchange(true); }

void CurlWrapper::prepare_request() {
    CURL* h = handle_.get();
    curl_easy_reset(h);
    header_list_.reset();
    allowed_bytes_ = size_limit_;
    body_bytes_ = 0;
    limit_passed_ = false;
    if (timeout_seconds_ > 0) {
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(timeout_seconds_));
        curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(timeout_seconds_));
    }
    if (stall_.seconds > 0) {
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, stall_.bytes_per_second);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stall_.seconds);
    }
    curl_easy_setopt(h, CURLOPT_DEFAULT_PROTOCOL, "https");
    apply_tls_settings(h);
    if (!headers_.empty()) {
        curl_slist* list = nullptr;
        for (const auto& [name, value] : headers_) {
            curl_slist* grown = curl_slist_append(list, (name + ":" + value).c_str());
            if (grown == nullptr) break;
            list = grown;
        }
        header_list_.reset(list);
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, list);
    }
}

void CurlWrapper::apply_system_proxy() {
    std::string proxy, user, password;
    if (!velora::sys::query_system_proxy(proxy, user, password) || proxy.empty()) return;
    curl_easy_setopt(handle_.get(), CURLOPT_PROXY, proxy.c_str());
    if (!user.empty() && !password.empty()) {
        const std::string credentials = user + ":" + password;
        curl_easy_setopt(handle_.get(), CURLOPT_PROXYUSERPWD, credentials.c_str());
    }
}

void CurlWrapper::set_probe_options(const std::string& url) {
    CURL* h = handle_.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(h, CURLOPT_HEADER, 1L);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 1L);
    // With CURLOPT_HEADER the header text also reaches the write function; keep it off
    // standard output.
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &CurlWrapper::discard_adapter);
}

CURLcode CurlWrapper::perform_probe(const std::string& url) {
    prepare_request();
    set_probe_options(url);
    curl_easy_setopt(handle_.get(), CURLOPT_FILETIME, 1L);
    return curl_easy_perform(handle_.get());
}

void CurlWrapper::set_transfer_options(const std::string& url) {
    CURL* h = handle_.get();
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "GET");
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &CurlWrapper::write_adapter);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &CurlWrapper::progress_adapter);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
}

void CurlWrapper::set_size_limit(std::int64_t bytes) { size_limit_ = bytes; }

bool CurlWrapper::within_limit(size_t bytes) {
    body_bytes_ += static_cast<std::int64_t>(bytes);
    if (allowed_bytes_ >= 0 && body_bytes_ > allowed_bytes_) limit_passed_ = true;
    return !limit_passed_;
}

int CurlWrapper::limited(int result) const {
    return limit_passed_ ? static_cast<int>(CURLE_FILESIZE_EXCEEDED) : result;
}

long CurlWrapper::response_code() const {
    long code = 0;
    curl_easy_getinfo(handle_.get(), CURLINFO_RESPONSE_CODE, &code);
    return code;
}

size_t CurlWrapper::write_adapter(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<CurlWrapper*>(user);
    if (!self->write_callback_) return size * count;
    return self->write_callback_(data, size, count);
}

int CurlWrapper::progress_adapter(void* user, curl_off_t dltotal, curl_off_t dlnow,
                                  curl_off_t ultotal, curl_off_t ulnow) {
    auto* self = static_cast<CurlWrapper*>(user);
    // Any non-zero value: libcurl ends the transfer with CURLE_ABORTED_BY_CALLBACK.
    if (self->canceled_.load()) return 1;
    if (self->progress_callback_) {
        self->progress_callback_(static_cast<double>(dltotal), static_cast<double>(dlnow),
                                 static_cast<double>(ultotal), static_cast<double>(ulnow));
    }
    return 0;
}

size_t CurlWrapper::header_map_adapter(char* data, size_t size, size_t count, void* user) {
    record_header_line(data, size * count, *static_cast<HttpHeaderMap*>(user));
    return size * count;
}

size_t CurlWrapper::answer_header_adapter(char* data, size_t size, size_t count, void* user) {
    auto& headers = *static_cast<HttpHeaderMap*>(user);
    const size_t length = size * count;
    if (length >= 5 && std::string_view(data, 5) == "HTTP/") headers.clear();
    record_header_line(data, length, headers);
    return length;
}

size_t CurlWrapper::discard_adapter(char*, size_t size, size_t count, void*) {
    return size * count;
}

int CurlWrapper::get(const std::string& url, std::string& body) {
    return get_body(url, nullptr, body);
}

int CurlWrapper::get(const std::string& url, HttpHeaderMap& response_headers, std::string& body) {
    response_headers.clear();
    return get_body(url, &response_headers, body);
}

int CurlWrapper::get_body(const std::string& url, HttpHeaderMap* response_headers,
                          std::string& body) {
    body.clear();
    if (!handle_) return CURLE_FAILED_INIT;
    prepare_request();
    set_transfer_options(url);
    if (response_headers) {
        curl_easy_setopt(handle_.get(), CURLOPT_HEADERFUNCTION, &CurlWrapper::header_map_adapter);
        curl_easy_setopt(handle_.get(), CURLOPT_HEADERDATA, response_headers);
    }
    write_callback_ = [this, &body](const char* data, size_t size, size_t count) {
        if (!within_limit(size * count)) return size_t{0};
        body.append(data, size * count);
        return size * count;
    };
    apply_system_proxy();
    const CURLcode result = curl_easy_perform(handle_.get());
    write_callback_ = nullptr;
    return limited(result);
}

int CurlWrapper::prepare_response_headers(const std::string& url, HttpHeaderMap& response_headers,
                                          int timeout_seconds) {
    if (!handle_) return CURLE_FAILED_INIT;
    prepare_request();
    CURL* h = handle_.get();
    if (timeout_seconds > 0) {
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(timeout_seconds));
        curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(timeout_seconds));
    }
    set_probe_options(url);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &CurlWrapper::header_map_adapter);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &response_headers);
    return curl_easy_perform(h);
}

int CurlWrapper::get_content_length(const std::string& url, std::int64_t& length) {
    if (!handle_) return CURLE_FAILED_INIT;
    const CURLcode result = perform_probe(url);
    if (result != CURLE_OK) return result;
    if (response_code() != 200) {
        length = 0;
        return kDownloadHttpError;
    }
    curl_off_t content_length = -1;
    curl_easy_getinfo(handle_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &content_length);
    length = content_length;
    return 0;
}

int CurlWrapper::perform_with_file(const std::filesystem::path& file, bool append,
                                   std::int64_t first, std::int64_t last) {
    if (!ensure_parent(file)) return kDownloadDirError;
    FilePtr out = open_file(file, append);
    if (!out) return kDownloadOpenError;
    std::FILE* stream = out.get();
    // The headers of the answer that carries the body; a redirect's are dropped.
    HttpHeaderMap answer;
    curl_easy_setopt(handle_.get(), CURLOPT_HEADERFUNCTION, &CurlWrapper::answer_header_adapter);
    curl_easy_setopt(handle_.get(), CURLOPT_HEADERDATA, &answer);
    bool checked = false;
    bool range_refused = false;
    std::int64_t allowed = -1;  // bytes the answer may carry; -1: no limit
    std::int64_t written = 0;
    write_callback_ = [&, this, stream](const char* data, size_t size, size_t count) -> size_t {
        const size_t bytes = size * count;
        // An error page is not part of the file; appended, it would corrupt the next resume.
        const long status = response_code();
        if (status != 200 && status != 206) return bytes;
        if (!checked) {
            checked = true;
            // Only the range asked for may go into the file: another slice is not this one,
            // and the whole resource is the answer only to a request for all of it.
            if (status == 206) {
                allowed = accepted_range_length(find_header(answer, "Content-Range"), first, last);
                range_refused = allowed < 0;
            } else {
                range_refused = first > 0 || last >= 0;
            }
        }
        if (range_refused) return 0;
        if (allowed >= 0 && written + static_cast<std::int64_t>(bytes) > allowed) {
            log_tagged(kLogWarning, "CurlWrapper::download more bytes than the range: %lld",
                       static_cast<long long>(allowed));
            range_refused = true;
            return 0;
        }
        if (!within_limit(bytes)) return size_t{0};
        // A short write (disk full) makes libcurl fail the transfer instead of leaving
        // a truncated file that would look complete.
        const size_t put = std::fwrite(data, 1, bytes, stream);
        written += static_cast<std::int64_t>(put);
        if (put > 0 && data_tap_ && !data_tap_(data, put)) return size_t{0};
        return put;
    };
    CURLcode result = curl_easy_perform(handle_.get());
    write_callback_ = nullptr;
    const bool flushed = std::fflush(stream) == 0;
    if (range_refused) {
        log_tagged(kLogWarning, "CurlWrapper::download range refused: %s http code: %d",
                   find_header(answer, "Content-Range"), static_cast<int>(response_code()));
        return CURLE_RANGE_ERROR;
    }
    if (result == CURLE_OK && !flushed) return CURLE_WRITE_ERROR;
    // A slice without a Content-Length that closed early is cut, not complete.
    if (result == CURLE_OK && allowed >= 0 && written < allowed) return CURLE_PARTIAL_FILE;
    return limited(result);
}

int CurlWrapper::download(const std::string& url, const std::filesystem::path& file,
                          bool is_breakpoint_resume, int timeout_seconds) {
    if (!handle_) return CURLE_FAILED_INIT;
    const std::string target = encode_blanks(url);
    std::int64_t offset = 0;
    if (is_breakpoint_resume) offset = existing_size(file);
    const bool append = offset > 0;

    prepare_request();
    // The part on disk counts: only what the whole file still lacks may come.
    if (size_limit_ >= 0)
        allowed_bytes_ = std::max<std::int64_t>(size_limit_ - std::max<std::int64_t>(offset, 0), 0);
    CURL* h = handle_.get();
    curl_easy_setopt(
        h, CURLOPT_TIMEOUT,
        static_cast<long>(timeout_seconds > 0 ? timeout_seconds : kDefaultDownloadTimeoutSeconds));
    set_transfer_options(target);
    if (append) curl_easy_setopt(h, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(offset));
    apply_system_proxy();

    int result = perform_with_file(file, append, append ? offset : 0, -1);
    const long status = response_code();
    // libcurl refuses a resume that is answered with an error status (33); the status
    // is what the caller acts on (429: wait and retry).
    if (result == CURLE_RANGE_ERROR && status >= 400 && status != 416) result = CURLE_OK;
    if (result != CURLE_OK) return result;
    if (status == 200 || status == 206 || status == 416) return 0;
    log_tagged(kLogWarning, "CurlWrapper::download http code: %d is_breakpoint_resume: %d",
               static_cast<int>(status), is_breakpoint_resume ? 1 : 0);
    return status == 429 ? kDownloadTooManyRequests : kDownloadHttpError;
}

int CurlWrapper::download(const std::string& url, const std::filesystem::path& file,
                          std::int64_t start, std::int64_t end) {
    if (!handle_) return CURLE_FAILED_INIT;
    const std::string target = encode_blanks(url);
    const std::int64_t existing = existing_size(file);
    // A file whose size cannot be read is fetched afresh rather than appended blindly.
    std::int64_t position = existing < 0 ? start : start + existing;
    bool append = existing >= 0;
    // The standard form without blanks: strict servers refuse "bytes=0 - 99", and one that
    // answers such a probe with 416 would make a missing slice look complete.
    std::string range;
    if (end <= 0) {
        range = "bytes=" + std::to_string(position) + "-";
    } else {
        if (position > end + 1) {
            append = false;
            position = start;
        }
        range = "bytes=" + std::to_string(position) + "-" + std::to_string(end);
    }
    set_header("Range", range);

    const CURLcode probe = perform_probe(target);
    if (probe != CURLE_OK) return probe;
    const long probe_status = response_code();
    // 416 means the slice is complete only when the file already reaches its end; a
    // resource shorter than the slice is not a finished download.
    if (probe_status == 416) return (end <= 0 || position > end) ? 0 : kDownloadRangeRejected;
    if (probe_status != 206) return kDownloadRangeRejected;

    prepare_request();
    curl_easy_setopt(handle_.get(), CURLOPT_TIMEOUT,
                     static_cast<long>(kDefaultDownloadTimeoutSeconds));
    set_transfer_options(target);
    const int result = perform_with_file(file, append, position, end <= 0 ? -1 : end);
    if (result != CURLE_OK) return result;
    const long status = response_code();
    if (status == 200 || status == 206 || status == 416) return 0;
    log_tagged(kLogWarning, "CurlWrapper::download http code: %d", static_cast<int>(status));
    if (status == 429) return kDownloadTooManyRequests;
    // The next attempt starts the slice afresh.
    std::filesystem::remove(file);
    return kDownloadHttpError;
}
