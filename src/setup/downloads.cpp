#include <algorithm>
#include <cctype>
#include <future>
#include <string>
#include <system_error>
#include <vector>

#include "base/crypto.h"
#include "base/logger.h"
#include "base/result_codes.h"
#include "layout/paths.h"
#include "net/curl_wrapper.h"
#include "net/file_downloader.h"
#include "net/service_hosts.h"
#include "setup/download_planning.h"
#include "setup/install_files.h"
#include "setup/setup_center.h"
#include "sys/error_code.h"
#include "sys/files.h"

namespace velora::st {

namespace fs = std::filesystem;

namespace {

constexpr int kRenameAttempts = 5;
// Counted attempts of one file in one worker, after the first.
constexpr int kRetriesPerFile = 2;
constexpr double kInstallSizeFactor = 2.6;

std::string with_encoded_blanks(std::string url) {
    for (size_t at = url.find(' '); at != std::string::npos; at = url.find(' ', at + 3)) {
        url.replace(at, 1, "%20");
    }
    return url;
}

// Adds `bytes` to the counter without letting it pass `limit`.
int64_t add_capped(std::atomic<int64_t>& counter, int64_t bytes, int64_t limit) {
    int64_t current = counter.load();
    int64_t next = 0;
    do {
        next = std::min(current + bytes, limit);
    } while (!counter.compare_exchange_weak(current, next));
    return next;
}

}  // namespace

int SetupCenter::download_files(DownloadProgress progress, std::string& error) {
    if (modules > 0) {
        if (remaining_bytes > kPackageThresholdBytes) {
            const std::string url = base_url + "/" + kPackageName + ".zip";
            int64_t size = 0;
            const int probed = probe->get_content_length(url, size);
            const int64_t two_thirds = 2 * size / 3;
            // An archive of unknown or zero length cannot stand in for the files.
            if (probed == 0 && size > 0 &&
                (queued_count > kPackageFileCount || two_thirds <= remaining_bytes)) {
                entire_mode = 1;
                return download_package_zip(size, progress, error);
            }
        }
        entire_mode = 0;
        return download(progress, error);
    }
    log_tagged(kLogInfo, "down full setup file");
    return download_full_package(progress, error);
}

int SetupCenter::download_package_zip(int64_t size, DownloadProgress progress, std::string& error) {
    const std::string url = base_url + "/" + kPackageName + ".zip";
    package_path = download_dir / (std::string(kPackageName) + "_zip");
    std::error_code ec;
    const uintmax_t existing = fs::file_size(package_path, ec);
    if (!ec && static_cast<int64_t>(existing) == size) return kSetupOk;
    log_tagged(kLogInfo, "down zip file: %s", url);
    const int r = downloader->download(url.c_str(), package_path, size, std::move(progress));
    if (r != 0) error = "download failed";
    return r;
}

int SetupCenter::download_full_package(DownloadProgress progress, std::string& error) {
    const std::string url = full_package_address();
    const int r = downloader->download(url.c_str(), download_dir, package_path, package_size,
                                       std::move(progress));
    if (r != 0) {
        error = "download failed";
        return r;
    }
    try {
        // The file keeps its cache name until here; the installer must carry ".exe" to run.
        for (int i = 0; i < kRenameAttempts; ++i) {
            const fs::path renamed = package_path.parent_path() /
                                     (utf8_of(package_path.stem()) + std::to_string(i) + ".exe");
            std::error_code ec;
            fs::rename(package_path, renamed, ec);
            if (!ec) {
                package_path = renamed;
                // It is started as a program, which POSIX allows only with an execute bit.
                const int code = sys::make_executable(package_path);
                if (code == sys::kErrorSuccess) return kSetupOk;
                error = "down file failed";
                log_tagged(kLogWarning, "download files filesystem_error[%d] make executable",
                           code);
                return kSetupFileSystemError;
            }
            error = "down file failed";
            const int code = sys::system_code(ec);
            log_tagged(kLogWarning, "download files filesystem_error[%d] %s", code, ec.message());
            // A file of that name held by a running program: try the next name.
            if (code != sys::kErrorAccessDenied && code != sys::kErrorSharingViolation)
                return kSetupFileSystemError;
        }
        return kSetupFileSystemError;
    } catch (const fs::filesystem_error& e) {
        error = "down file failed";
        log_tagged(kLogWarning, "download files filesystem_error code[%d] %s",
                   sys::system_code(e.code()), e.what());
        return kSetupFileSystemError;
    }
}

int SetupCenter::download(DownloadProgress progress, std::string& error) {
    if (download_dir.empty()) {
        error = "uninitialized";
        return kSetupUninitialized;
    }
    int result = kSetupOk;
    try {
        {
            std::lock_guard lock(workers_lock);
            for (int i = 0; i < thread_count; ++i)
                workers.push_back(std::make_unique<CurlWrapper>(transfer_timeout, timings.stall));
            // A cancel that came before the clients existed still applies to them.
            if (cancel_requested) {
                for (auto& worker : workers) worker->cancel();
            }
        }
        std::vector<std::future<int>> tasks;
        for (int i = 0; i < thread_count; ++i) {
            tasks.push_back(
                std::async(std::launch::async, &SetupCenter::download_worker, this, i, progress));
        }
        // Every task is waited for before the record is saved, so files that other workers
        // finish after a failure are recorded too.
        std::exception_ptr failure;
        for (auto& task : tasks) {
            try {
                const int r = task.get();
                if (r != 0 && result == kSetupOk && !failure) {
                    result = r;
                    error = "download failed";
                }
            } catch (...) {
                if (result == kSetupOk && !failure) failure = std::current_exception();
            }
        }
        save_downloaded_file();
        if (failure) std::rethrow_exception(failure);
    } catch (const fs::filesystem_error& e) {
        const int code = sys::system_code(e.code());
        error = "file system error  " + std::to_string(code) + " " + e.what();
        log_tagged(kLogWarning, "SetupCenter::download file exception: %d %s", code, e.what());
        result = kSetupFileSystemError;
    } catch (const std::exception& e) {
        error = std::string("exception ") + e.what();
        log_tagged(kLogWarning, "[SetupCenter::download]exception: %s", e.what());
        result = kSetupException;
    }
    std::lock_guard lock(workers_lock);
    workers.clear();
    return result;
}

int SetupCenter::download_worker(int index, DownloadProgress progress) {
    CurlWrapper* client = nullptr;
    {
        std::lock_guard lock(workers_lock);
        if (index >= 0 && static_cast<size_t>(index) < workers.size())
            client = workers[static_cast<size_t>(index)].get();
    }
    if (!client) return kSetupNoClient;
    if (cancel_requested) return kSetupDownloadCancelled;

    while (true) {
        FileEntry entry;
        {
            std::lock_guard lock(queue_lock);
            if (download_queue.empty()) return kSetupOk;
            entry = std::move(download_queue.front());
            download_queue.pop_front();
        }
        log_tagged(kLogInfo, "download file: %s size: %lld", entry.filePath,
                   static_cast<long long>(entry.fileSize));

        if (progress) {
            client->set_progress_callback(
                [this, progress, last = int64_t{0}](double total, double now_bytes, double,
                                                    double) mutable {
                    if (total <= 0) return;
                    const auto now = static_cast<int64_t>(now_bytes);
                    if (now < last) last = 0;  // the transfer started over
                    const int64_t done = add_capped(downloaded_bytes, now - last, remaining_bytes);
                    progress(total_bytes, present_bytes, done);
                    last = now;
                });
        }

        const std::string url = with_encoded_blanks(base_url + "/" + entry.filePath);
        const fs::path file = download_dir / path_from_utf8(entry.hash);
        // A signed fileSize is a promise: a longer answer is cut, not stored.
        client->set_size_limit(release_keys.empty() ? -1 : entry.fileSize);
        int attempts_left = kRetriesPerFile;
        auto delay = timings.download_retry_first;
        bool resume = true;
        while (true) {
            int code = client->download(url, file, resume, 0);
            if (code == CURLE_ABORTED_BY_CALLBACK) {
                log_tagged(kLogWarning, "download file: %s, active disconnect", utf8_of(file));
                return kSetupDownloadCancelled;
            }
            if (code == 0 && entry.fileSize > 0) {
                std::error_code ec;
                const auto size = static_cast<int64_t>(fs::file_size(file, ec));
                if (ec) throw fs::filesystem_error("file_size", file, ec);
                if (size != entry.fileSize) {
                    log_tagged(kLogWarning, "download file: %s, url: %s, size: %lld expected: %lld",
                               utf8_of(file), url, static_cast<long long>(size),
                               static_cast<long long>(entry.fileSize));
                    // A short file is continued by the next attempt; a longer one, or one the
                    // server calls complete, is not this file.
                    if (size > entry.fileSize || client->response_code() == 416) {
                        fs::remove(file, ec);
                        if (ec) throw fs::filesystem_error("remove", file, ec);
                    }
                    code = kDownloadSizeMismatch;
                }
            }
            std::string mismatch;
            if (code == 0 && !content_matches(file, entry, mismatch)) {
                log_tagged(kLogWarning, "download file: %s, url: %s, %s", utf8_of(file), url,
                           mismatch);
                // Resuming would keep the wrong bytes: start again from nothing.
                std::error_code ec;
                fs::remove(file, ec);
                if (ec) throw fs::filesystem_error("remove", file, ec);
                code = kDownloadHashMismatch;
            }
            if (code == 0) break;
            if (code != kDownloadHashMismatch && code != kDownloadSizeMismatch) {
                log_tagged(kLogWarning, "download file: %s, url: %s, failed curl code: %d",
                           utf8_of(file), url, code);
            }
            if (code == kDownloadTooManyRequests) {
                if (!pause(timings.too_many_requests)) return kSetupDownloadCancelled;
                continue;
            }
            if (code == CURLE_RANGE_ERROR) {
                resume = false;
            } else {
                if (!pause(delay)) return kSetupDownloadCancelled;
                delay += timings.download_retry_step;
                resume = true;
            }
            if (--attempts_left < 0) {
                std::lock_guard lock(queue_lock);
                download_queue.push_back(entry);
                return kSetupDownloadFailedBase + code;
            }
        }
        record_downloaded(entry);
        // Files of the same content count once this one is done; show them even when no
        // transfer reports progress again.
        if (progress && queued_twins.count(entry.hash))
            progress(total_bytes, present_bytes, downloaded_bytes.load());
        if (cancel_requested) return kSetupDownloadCancelled;
    }
}

void SetupCenter::record_downloaded(const FileEntry& entry) {
    std::vector<FileEntry> twins;
    if (auto found = queued_twins.find(entry.hash); found != queued_twins.end())
        twins = found->second;
    std::lock_guard lock(record_lock);
    downloaded_files[entry.filePath] = entry;
    for (const FileEntry& twin : twins) {
        downloaded_files[twin.filePath] = twin;
        add_capped(downloaded_bytes, twin.fileSize, remaining_bytes);
    }
}

bool SetupCenter::pause(std::chrono::milliseconds delay) {
    std::unique_lock lock(cancel_lock);
    return !cancel_signal.wait_for(lock, delay, [this] { return cancel_requested.load(); });
}

void SetupCenter::cancel() {
    {
        std::lock_guard lock(cancel_lock);
        cancel_requested = true;
    }
    cancel_signal.notify_all();
    {
        std::lock_guard lock(workers_lock);
        if (probe) probe->cancel();
        for (auto& worker : workers) worker->cancel();
    }
    downloader->cancel();
}

int64_t SetupCenter::expected_install_size() const {
    if (modules > 0) return 0;
    return static_cast<int64_t>(static_cast<double>(package_size) * kInstallSizeFactor);
}

}  // namespace velora::st
