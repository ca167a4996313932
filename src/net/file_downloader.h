#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/stall_limit.h"

class CurlWrapper;
using HttpHeaderMap = std::map<std::string, std::string>;

namespace velora {

// (total bytes, bytes already on disk before the current requests, bytes received by them).
// In a several-connection download it is called from several threads at once.
using DownloadProgress = std::function<void(int64_t, int64_t, int64_t)>;

inline constexpr int kFdMaxConnections = 12;

// Pauses between the attempts of one part, and the stall limit of every transfer.
// Production values by default; tests shorten them.
struct FileDownloaderTiming {
    std::chrono::milliseconds first_retry_pause{1000};
    std::chrono::milliseconds retry_pause_step{2000};
    StallLimit stall{};
};

// One slice of a several-connection download. `end` is inclusive; -1 means the request
// runs to the end of the resource (always so for the last part).
struct DownloadPart {
    int64_t start = 0;
    int64_t end = -1;
    int64_t length = 0;

    bool operator==(const DownloadPart&) const = default;
};

// Splits `file_size` bytes over `connections` parts: the first size % n parts get one byte
// more. A file with fewer bytes than connections gets one part per byte, so no part is
// empty; an empty file gets one open-ended part.
std::vector<DownloadPart> split_download(int64_t file_size, int connections);

// Fetches one remote file to disk, resumably, over one connection or 2 to 12 at once.
// Used by one caller thread at a time; cancel() may come from any thread.
// Downloads return 0 or a code of base/result_codes.h; a part file that cannot be opened
// while assembling gives the client's kDownloadOpenError.
class FileDownloader {
public:
    FileDownloader(int connections, int timeout_seconds, FileDownloaderTiming timing = {});
    ~FileDownloader();
    FileDownloader(const FileDownloader&) = delete;
    FileDownloader& operator=(const FileDownloader&) = delete;

    // Downloads into `dir` under a cache name made of the URL, the ETag and the length, so an
    // interrupted download resumes and a finished one is not fetched again.
    int download(const char* url, const std::filesystem::path& dir, std::filesystem::path& out_path,
                 int64_t& size_out, DownloadProgress progress);
    // Downloads into `target`; `known_size` 0 takes the size from the server's headers.
    int download(const char* url, const std::filesystem::path& target, int64_t known_size,
                 DownloadProgress progress);

    // Ends running transfers at their next progress report; this object stays canceled.
    void cancel();

private:
    int run(const std::string& url, const std::filesystem::path& target, DownloadProgress progress);
    int download_impl(const std::string& url, const std::filesystem::path& target,
                      DownloadProgress progress);
    int download_whole(const std::string& url, const std::filesystem::path& target);
    // A header request answered with its size, or the client's code for what came instead.
    int request_headers(const std::string& url, HttpHeaderMap& headers, int timeout_seconds);
    int download_many_thread_impl(const std::string& url, const std::filesystem::path& target,
                                  DownloadProgress progress);
    int download_parts(const std::string& url, const std::filesystem::path& target,
                       const DownloadProgress& progress);
    int download_worker_thread(size_t index, const std::string& url,
                               const std::filesystem::path& part, int64_t start, int64_t end,
                               const DownloadProgress& progress);
    int assemble(const std::filesystem::path& target,
                 const std::vector<std::filesystem::path>& parts);
    void report_part_progress(size_t index, int64_t total, int64_t now,
                              const DownloadProgress& progress);
    void move_part_progress_to_cache(size_t index);
    void release_part_clients();
    // Waits the retry pause; returns early when the download is canceled.
    void pause(std::chrono::milliseconds delay);

    const int timeout_seconds_;
    const FileDownloaderTiming timing_;
    std::unique_ptr<CurlWrapper> client_;
    std::mutex clients_lock_;
    std::vector<std::unique_ptr<CurlWrapper>> part_clients_;
    const int connection_count_;
    std::atomic<bool> canceled_{false};
    std::condition_variable cancel_signal_;

    // Progress counters of the running download; parts update them from their own threads.
    std::mutex progress_lock_;
    int64_t file_size_ = 0;
    int64_t cached_bytes_ = 0;
    std::vector<int64_t> part_totals_;
    std::vector<int64_t> part_now_;
};

}  // namespace velora
