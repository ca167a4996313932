#include "net/file_downloader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <future>
#include <numeric>

#include "base/crypto.h"
#include "base/logger.h"
#include "base/result_codes.h"
#include "base/utf8_path.h"
#include "net/curl_wrapper.h"
#include "sys/error_code.h"
#include "sys/files.h"

namespace velora {

namespace fs = std::filesystem;

namespace {

constexpr int kHeaderAttempts = 3;
constexpr int kHeaderTimeoutSeconds = 30;
constexpr int kPartAttempts = 3;
constexpr size_t kCopyBlock = 8192;

// Decimal value of a Content-Length text: optional leading blanks and sign, then digits;
// whatever follows is ignored. 0 when there are no digits or the value does not fit.
int64_t parse_length(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        if (value > (INT64_MAX - digit) / 10) return 0;
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

// Runs one public step of a download: what it throws becomes the step's result code and a
// log line under the step's name, so no exception leaves the downloader.
template <typename Body>
int guarded(const char* step, Body&& body) {
    try {
        return body();
    } catch (const fs::filesystem_error& e) {
        log_tagged(kLogWarning, "[FileDownloader::%s]filesystem_error:%d %s", step,
                   sys::system_code(e.code()), e.what());
        return kSetupFileSystemError;
    } catch (const std::exception& e) {
        log_tagged(kLogWarning, "[FileDownloader::%s]exception: %s", step, e.what());
        return kSetupException;
    }
}

}  // namespace

std::vector<DownloadPart> split_download(int64_t file_size, int connections) {
    const int64_t count =
        std::max<int64_t>(1, std::min<int64_t>(std::max(connections, 1), file_size));
    const int64_t chunk = file_size / count;
    const int64_t extra = file_size % count;
    std::vector<DownloadPart> parts;
    int64_t start = 0;
    for (int64_t i = 0; i < count; ++i) {
        DownloadPart part;
        part.start = start;
        part.length = chunk + (i < extra ? 1 : 0);
        const int64_t end = start + part.length - 1;
        part.end = end >= file_size - 1 ? -1 : end;
        parts.push_back(part);
        start = end + 1;
    }
    return parts;
}

FileDownloader::FileDownloader(int connections, int timeout_seconds, FileDownloaderTiming timing)
    : timeout_seconds_(timeout_seconds),
      timing_(timing),
      client_(std::make_unique<CurlWrapper>(timeout_seconds, timing.stall)),
      connection_count_(connections >= 2 && connections <= kFdMaxConnections ? connections : 1) {}

FileDownloader::~FileDownloader() {
    cancel();
    std::lock_guard lock(clients_lock_);
    part_clients_.clear();
}

void FileDownloader::cancel() {
    canceled_ = true;
    client_->cancel();
    {
        std::lock_guard lock(clients_lock_);
        for (auto& part_client : part_clients_) {
            if (part_client) part_client->cancel();
        }
    }
    cancel_signal_.notify_all();
}

int FileDownloader::download(const char* url, const fs::path& dir, fs::path& out_path,
                             int64_t& size_out, DownloadProgress progress) {
    if (url == nullptr) return kFdNoUrl;
    return guarded("download", [&]() -> int {
        size_out = 0;
        HttpHeaderMap headers;
        int r = 0;
        for (int attempt = 0; attempt < kHeaderAttempts; ++attempt) {
            r = request_headers(url, headers, kHeaderTimeoutSeconds);
            if (r == 0) break;
            log_tagged(kLogWarning, "prepare_response_headers failed: %d", r);
        }
        if (r != 0) return kSetupDownloadFailedBase + r;

        const std::string etag = find_etag(headers);
        const std::string length_text = find_header(headers, "Content-Length");
        const int64_t size = parse_length(length_text);
        if (size <= 0) {
            log_tagged(kLogWarning, "Content-Length is null");
            return kSetupBadServerData;
        }
        file_size_ = size;
        size_out = size;
        log_tagged(kLogInfo, "download file[%s] size: %lld, thread cnt[%d]", etag,
                   static_cast<long long>(size), connection_count_);

        const fs::path target = dir / md5_hex(std::string(url) + "_" + etag + "_" + length_text);
        const int result = run(url, target, std::move(progress));
        out_path = target;
        return result;
    });
}

int FileDownloader::download(const char* url, const fs::path& target, int64_t known_size,
                             DownloadProgress progress) {
    if (url == nullptr) return kFdNoUrl;
    return guarded("download", [&]() -> int {
        if (known_size == 0) {
            HttpHeaderMap headers;
            const int r = request_headers(url, headers, 0);
            if (r != 0) return kSetupDownloadFailedBase + r;
            const auto length = headers.find("Content-Length");
            const int64_t size = length == headers.end() ? 0 : parse_length(length->second);
            if (size <= 0) {
                log_tagged(kLogWarning, "Content-Length is null");
                return kSetupBadServerData;
            }
            file_size_ = size;
        } else if (known_size < 0) {
            log_tagged(kLogWarning, "[FileDownloader::download]invalid size: %lld",
                       static_cast<long long>(known_size));
            return kSetupBadServerData;
        } else {
            file_size_ = known_size;
        }
        return run(url, target, std::move(progress));
    });
}

int FileDownloader::request_headers(const std::string& url, HttpHeaderMap& headers,
                                    int timeout_seconds) {
    headers.clear();
    const int r = client_->prepare_response_headers(url, headers, timeout_seconds);
    if (r != 0) return r;
    const long status = client_->response_code();
    if (status >= 200 && status < 300) return 0;
    // An error page's Content-Length is not the file's size.
    log_tagged(kLogWarning, "prepare_response_headers http code: %d", static_cast<int>(status));
    return status == 429 ? kDownloadTooManyRequests : kDownloadHttpError;
}

int FileDownloader::run(const std::string& url, const fs::path& target, DownloadProgress progress) {
    if (connection_count_ < 2) return download_impl(url, target, std::move(progress));
    return download_many_thread_impl(url, target, std::move(progress));
}

int FileDownloader::download_impl(const std::string& url, const fs::path& target,
                                  DownloadProgress progress) {
    return guarded("download_impl", [&]() -> int {
        if (progress) {
            const int64_t size = file_size_;
            client_->set_progress_callback(
                [size, progress](double download_total, double download_now, double, double) {
                    progress(size, size - static_cast<int64_t>(download_total),
                             static_cast<int64_t>(download_now));
                });
        } else {
            client_->set_progress_callback(nullptr);
        }
        const int r = download_whole(url, target);
        client_->set_progress_callback(nullptr);
        return r;
    });
}

int FileDownloader::download_whole(const std::string& url, const fs::path& target) {
    const int64_t expected_size = file_size_;
    const auto size_on_disk = [&target] {
        std::error_code ec;
        const auto size = fs::file_size(target, ec);
        if (ec) throw fs::filesystem_error("file_size", target, ec);
        return static_cast<int64_t>(size);
    };
    // No answer may grow the file past its expected size, nor take longer than that size
    // allows: an endless or trickling body ends the attempt.
    const int deadline = transfer_deadline_seconds(expected_size);
    client_->set_size_limit(expected_size);
    std::error_code ec;
    const bool resumed = fs::exists(target, ec) && fs::file_size(target, ec) > 0 && !ec;
    int r = client_->download(url, target, true, deadline);
    // A server that does not resume, or a partial file longer than the resource, leaves
    // nothing worth continuing: the file is fetched again from its first byte.
    if (r == CURLE_RANGE_ERROR || (resumed && r == CURLE_FILESIZE_EXCEEDED) ||
        (r == 0 && size_on_disk() > expected_size)) {
        log_tagged(kLogWarning, "[FileDownloader::download_impl]resume refused: %d, from the start",
                   r);
        r = client_->download(url, target, false, deadline);
    }
    client_->set_size_limit(-1);
    if (r == CURLE_FILESIZE_EXCEEDED) {
        log_tagged(kLogWarning, "[FileDownloader::download_impl]answer longer than %lld bytes",
                   static_cast<long long>(expected_size));
        fs::remove(target);
    }
    if (r != 0) return kSetupDownloadFailedBase + r;
    const int64_t size = size_on_disk();
    if (size == expected_size) return 0;
    log_tagged(kLogWarning, "[FileDownloader::download_impl]size mismatch: %lld expected: %lld",
               static_cast<long long>(size), static_cast<long long>(expected_size));
    // A short file from a transfer that ended early is continued by the next call; one the
    // server calls complete, or a longer one, is not the announced file.
    if (size > expected_size || client_->response_code() == 416) fs::remove(target);
    return kFdSizeMismatch;
}

int FileDownloader::download_many_thread_impl(const std::string& url, const fs::path& target,
                                              DownloadProgress progress) {
    const int result =
        guarded("download_many_thread_impl", [&] { return download_parts(url, target, progress); });
    release_part_clients();
    std::lock_guard lock(progress_lock_);
    part_totals_.clear();
    part_now_.clear();
    return result;
}

int FileDownloader::download_parts(const std::string& url, const fs::path& target,
                                   const DownloadProgress& progress) {
    const int64_t expected_size = file_size_;
    if (fs::exists(target)) {
        if (static_cast<int64_t>(fs::file_size(target)) == expected_size) {
            log_tagged(kLogInfo, "use cache file");
            return 0;
        }
        fs::remove(target);
    }

    const std::vector<DownloadPart> split = split_download(expected_size, connection_count_);
    const size_t count = split.size();
    {
        std::lock_guard lock(progress_lock_);
        cached_bytes_ = 0;
        part_totals_.assign(count, 0);
        part_now_.assign(count, 0);
        for (size_t i = 0; i < count; ++i) part_totals_[i] = split[i].length;
    }
    {
        std::lock_guard lock(clients_lock_);
        part_clients_.clear();
        for (size_t i = 0; i < count; ++i) {
            part_clients_.push_back(std::make_unique<CurlWrapper>(timeout_seconds_, timing_.stall));
            // A cancel that came before the parts existed still stops them.
            if (canceled_) part_clients_.back()->cancel();
        }
    }

    const std::string stem = sys::utf8_of(target.stem());
    const std::string prefix = stem + "_" + std::to_string(count) + "_";
    std::vector<fs::path> part_paths;
    for (size_t i = 0; i < count; ++i) {
        part_paths.push_back(target.parent_path() / (prefix + std::to_string(i)));
        std::error_code ec;
        const auto existing = fs::file_size(part_paths[i], ec);
        if (!ec) {
            std::lock_guard lock(progress_lock_);
            cached_bytes_ += static_cast<int64_t>(existing);
        }
    }

    std::vector<std::future<int>> tasks;
    for (size_t i = 0; i < count; ++i) {
        tasks.push_back(std::async(std::launch::async, &FileDownloader::download_worker_thread,
                                   this, i, std::cref(url), std::cref(part_paths[i]),
                                   split[i].start, split[i].end, std::cref(progress)));
    }

    // Every part ends before we return; the first failure in part order decides.
    int result = 0;
    std::exception_ptr failure;
    for (auto& task : tasks) {
        try {
            const int r = task.get();
            if (result == 0 && !failure && r != 0) result = r;
        } catch (...) {
            if (result == 0 && !failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
    if (result != 0) return result;

    result = assemble(target, part_paths);
    if (result != 0) return result;

    const auto assembled = static_cast<int64_t>(fs::file_size(target));
    if (assembled != expected_size) {
        // The parts do not make up the announced file: nothing of it is worth resuming.
        log_tagged(kLogWarning,
                   "[FileDownloader::download_many_thread_impl]size mismatch: %lld expected: "
                   "%lld",
                   static_cast<long long>(assembled), static_cast<long long>(expected_size));
        fs::remove(target);
        for (const auto& part : part_paths) fs::remove(part);
        return kFdSizeMismatch;
    }
    return 0;
}

int FileDownloader::assemble(const fs::path& target, const std::vector<fs::path>& parts) {
    FilePtr out(sys::open_file(target, "wb"));
    if (!out) return kDownloadOpenError;
    // A half-assembled file is never left behind.
    const auto give_up = [&](int result) {
        out.reset();
        std::error_code ec;
        fs::remove(target, ec);
        return result;
    };
    const auto write_failed = [&](int err) {
        log_tagged(kLogWarning, "[FileDownloader::download_many_thread_impl]filesystem_error:%d %s",
                   sys::system_code_from_errno(err), std::strerror(err));
        return give_up(kSetupFileSystemError);
    };
    std::vector<char> block(kCopyBlock);
    for (const auto& part : parts) {
        FilePtr in(sys::open_file(part, "rb"));
        if (!in) return give_up(kDownloadOpenError);
        size_t got = 0;
        while ((got = std::fread(block.data(), 1, block.size(), in.get())) > 0) {
            if (std::fwrite(block.data(), 1, got, out.get()) != got) break;
        }
        if (std::ferror(in.get()) || std::ferror(out.get())) return write_failed(errno);
    }
    if (std::fclose(out.release()) != 0) return write_failed(errno);
    return 0;
}

int FileDownloader::download_worker_thread(size_t index, const std::string& url,
                                           const fs::path& part, int64_t start, int64_t end,
                                           const DownloadProgress& progress) {
    try {
        CurlWrapper* client = nullptr;
        {
            std::lock_guard lock(clients_lock_);
            if (index < part_clients_.size()) client = part_clients_[index].get();
        }
        if (client == nullptr) return kSetupNoClient;
        if (progress) {
            client->set_progress_callback([this, index, &progress](double download_total,
                                                                   double download_now, double,
                                                                   double) {
                report_part_progress(index, static_cast<int64_t>(download_total),
                                     static_cast<int64_t>(download_now), progress);
            });
        }

        auto delay = timing_.first_retry_pause;
        int r = 0;
        for (int attempt = 0; attempt < kPartAttempts; ++attempt) {
            r = client->download(url, part, start, end);
            if (r == CURLE_ABORTED_BY_CALLBACK) {
                log_tagged(kLogWarning,
                           "download file: %s, start: %lld, end: %lld, active disconnect", part,
                           static_cast<long long>(start), static_cast<long long>(end));
                return kSetupDownloadCancelled;
            }
            if (r == 0) return 0;
            log_tagged(kLogWarning,
                       "download file: %s, start: %lld, end: %lld, failed curl code: %d", part,
                       static_cast<long long>(start), static_cast<long long>(end), r);
            move_part_progress_to_cache(index);
            pause(delay);
            delay += timing_.retry_pause_step;
        }
        return kSetupDownloadFailedBase + r;
    } catch (const fs::filesystem_error& e) {
        log_tagged(kLogWarning, "[FileDownloader::download_worker_thread]filesystem_error:%d %s",
                   sys::system_code(e.code()), e.what());
        return kSetupFileSystemError;
    }
}

void FileDownloader::report_part_progress(size_t index, int64_t total, int64_t now,
                                          const DownloadProgress& progress) {
    int64_t size = 0;
    int64_t cached = 0;
    int64_t sum_now = 0;
    {
        std::lock_guard lock(progress_lock_);
        if (index >= part_now_.size()) return;
        if (total > 0) part_totals_[index] = total;
        part_now_[index] = now;
        const int64_t sum_totals =
            std::accumulate(part_totals_.begin(), part_totals_.end(), int64_t{0});
        sum_now = std::accumulate(part_now_.begin(), part_now_.end(), int64_t{0});
        if (file_size_ < sum_totals) file_size_ = sum_totals;
        size = file_size_;
        cached = std::min(cached_bytes_, file_size_ - sum_now);
    }
    progress(size, cached, sum_now);
}

void FileDownloader::move_part_progress_to_cache(size_t index) {
    std::lock_guard lock(progress_lock_);
    if (index >= part_now_.size()) return;
    cached_bytes_ += part_now_[index];
    part_now_[index] = 0;
}

void FileDownloader::pause(std::chrono::milliseconds delay) {
    std::unique_lock lock(clients_lock_);
    cancel_signal_.wait_for(lock, delay, [this] { return canceled_.load(); });
}

void FileDownloader::release_part_clients() {
    std::lock_guard lock(clients_lock_);
    part_clients_.clear();
}

}  // namespace velora
