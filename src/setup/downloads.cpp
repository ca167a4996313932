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
#include "setup/release_trust.h"
#include "setup/setup_center.h"
#include "sys/error_code.h"
#include "sys/files.h"

namespace velora::st {

namespace fs = std::filesystem;

namespace {

constexpr int kRenameAttempts = 5;
constexpr double kInstallSizeFactor = 2.6;

// Two thirds of `size`, rounded down, for any size (2 * size would overflow).
int64_t two_thirds(int64_t size) { return size / 3 * 2 + size % 3 * 2 / 3; }

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
    if (target_.modules > 0) {
        // Patches and compressed files may make the per-file download the smaller one.
        const int64_t remaining = plan_.fetch_bytes();
        if (remaining > kPackageThresholdBytes &&
            (release_keys_.empty() || archive_.archive.named())) {
            // A signed archive's size is the manifest's; an unsigned one's, the server's.
            int64_t size = archive_.archive.size;
            const int probed = archive_.archive.named()
                                   ? 0
                                   : probe_->get_content_length(release_.package_url(), size);
            // An archive of unknown or zero length cannot stand in for the files.
            if (probed == 0 && size > 0 &&
                (plan_.queued_count() > kPackageFileCount || two_thirds(size) <= remaining)) {
                return download_package_zip(size, progress, error);
            }
        }
        package_ = Package{};
        return download(progress, error);
    }
    log_tagged(kLogInfo, "down full setup file");
    return download_full_package(progress, error);
}

int SetupCenter::download_package_zip(int64_t size, DownloadProgress progress, std::string& error) {
    const std::string url = release_.package_url();
    package_ = Package{download_dir_ / (std::string(kPackageName) + "_zip"), size, true,
                       archive_.archive.sha256};
    const auto matches = [this] {
        return package_.sha256.empty() || has_sha256(package_.path, package_.sha256);
    };
    std::error_code ec;
    const uintmax_t existing = fs::file_size(package_.path, ec);
    if (!ec && static_cast<int64_t>(existing) == size) {
        if (matches()) return kSetupOk;
        fs::remove(package_.path, ec);  // complete but not this archive: never trusted twice
    }
    log_tagged(kLogInfo, "down zip file: %s", url);
    const int r = downloader_->download(url.c_str(), package_.path, size, std::move(progress));
    if (r != 0) {
        error = "download failed";
        return r;
    }
    if (!matches()) {
        fs::remove(package_.path, ec);
        error = "package archive does not match its signed sha256";
        return kSetupUntrustedRelease;
    }
    return kSetupOk;
}

int SetupCenter::fetch_signed_full_package(DownloadProgress progress, std::string& error) {
    const SignedFile& signed_file = release_.full_package();
    const std::string url = download_host() + signed_file.path;
    // Named by its content, so a cut download resumes and another release's never counts.
    package_ =
        Package{download_dir_ / signed_file.sha256, signed_file.size, false, signed_file.sha256};
    std::error_code ec;
    const uintmax_t existing = fs::file_size(package_.path, ec);
    if (!ec && static_cast<int64_t>(existing) == package_.size) {
        if (has_sha256(package_.path, package_.sha256)) return kSetupOk;
        fs::remove(package_.path, ec);
    }
    log_tagged(kLogInfo, "down signed full setup file: %s size: %lld", url,
               static_cast<long long>(package_.size));
    const int r =
        downloader_->download(url.c_str(), package_.path, package_.size, std::move(progress));
    if (r != 0) {
        error = "download failed";
        return r;
    }
    if (!has_sha256(package_.path, package_.sha256)) {
        fs::remove(package_.path, ec);
        error = "full installer does not match its signed sha256";
        return kSetupUntrustedRelease;
    }
    return kSetupOk;
}

int SetupCenter::download_full_package(DownloadProgress progress, std::string& error) {
    int r = kSetupOk;
    // A build without keys fetches the installer as the server announces it.
    if (!release_keys_.empty()) {
        if (!release_.full_package().named()) {
            error = "version info names no full installer";
            return kSetupUntrustedRelease;
        }
        r = fetch_signed_full_package(std::move(progress), error);
        if (r != kSetupOk) return r;
    } else {
        const std::string url = full_package_address();
        package_ = Package{};
        r = downloader_->download(url.c_str(), download_dir_, package_.path, package_.size,
                                  std::move(progress));
        if (r != 0) {
            error = "download failed";
            return r;
        }
    }
    try {
        // The file keeps its cache name until here; the installer must carry ".exe" to run.
        for (int i = 0; i < kRenameAttempts; ++i) {
            const fs::path renamed = package_.path.parent_path() /
                                     (utf8_of(package_.path.stem()) + std::to_string(i) + ".exe");
            std::error_code ec;
            fs::rename(package_.path, renamed, ec);
            if (!ec) {
                package_.path = renamed;
                // It is started as a program, which POSIX allows only with an execute bit.
                const int code = sys::make_executable(package_.path);
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
    if (download_dir_.empty()) {
        error = "uninitialized";
        return kSetupUninitialized;
    }
    {
        std::lock_guard lock(queue_lock_);
        work_queue_.assign(plan_.queue.begin(), plan_.queue.end());
    }
    fetched_bytes_ = 0;
    int result = kSetupOk;
    try {
        {
            std::lock_guard lock(workers_lock_);
            for (int i = 0; i < kParallelDownloads; ++i) {
                workers_.push_back(
                    std::make_unique<CurlWrapper>(kTransferTimeoutSeconds, timings_.stall));
            }
            // A cancel that came before the clients existed still applies to them.
            if (cancel_requested_) {
                for (auto& worker : workers_) worker->cancel();
            }
        }
        std::vector<std::future<int>> tasks;
        for (int i = 0; i < kParallelDownloads; ++i) {
            tasks.push_back(std::async(std::launch::async, &SetupCenter::download_worker, this, i,
                                       std::cref(progress)));
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
        downloaded_.save(download_dir_);
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
    std::lock_guard lock(workers_lock_);
    workers_.clear();
    return result;
}

int SetupCenter::download_worker(int index, const DownloadProgress& progress) {
    CurlWrapper* client = nullptr;
    {
        std::lock_guard lock(workers_lock_);
        if (index >= 0 && static_cast<size_t>(index) < workers_.size())
            client = workers_[static_cast<size_t>(index)].get();
    }
    if (!client) return kSetupNoClient;
    if (cancel_requested_) return kSetupDownloadCancelled;
    const int64_t total = plan_.total_bytes;
    const int64_t present = plan_.present_bytes;
    const int64_t remaining = plan_.remaining_bytes();

    while (true) {
        FileEntry entry;
        {
            std::lock_guard lock(queue_lock_);
            if (work_queue_.empty()) return kSetupOk;
            entry = std::move(work_queue_.front());
            work_queue_.pop_front();
        }
        log_tagged(kLogInfo, "download file: %s size: %lld", entry.filePath,
                   static_cast<long long>(entry.fileSize));

        if (progress) {
            client->set_progress_callback(
                [this, &progress, total, present, remaining, last = int64_t{0}](
                    double transfer_total, double now_bytes, double, double) mutable {
                    if (transfer_total <= 0) return;
                    const auto now = static_cast<int64_t>(now_bytes);
                    if (now < last) last = 0;  // the transfer started over
                    const int64_t done = add_capped(fetched_bytes_, now - last, remaining);
                    progress(total, present, done);
                    last = now;
                });
        }

        bool fetched = false;
        if (fetch_smaller_source(*client, entry, fetched) == kSetupDownloadCancelled)
            return kSetupDownloadCancelled;
        const std::string url = release_.file_url(entry.filePath);
        const fs::path file = download_dir_ / path_from_utf8(entry.hash);
        // A signed fileSize is a promise: a longer answer is cut, not stored.
        client->set_size_limit(release_keys_.empty() ? -1 : entry.fileSize);
        const int deadline = release_keys_.empty() ? 0 : transfer_deadline_seconds(entry.fileSize);
        int attempts_left = kRetriesPerFile;
        auto delay = timings_.download_retry_first;
        bool resume = true;
        while (!fetched) {
            int code = client->download(url, file, resume, deadline);
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
            if (code == 0) {
                checked_.add(entry.hash, file);
                break;
            }
            if (code != kDownloadHashMismatch && code != kDownloadSizeMismatch) {
                log_tagged(kLogWarning, "download file: %s, url: %s, failed curl code: %d",
                           utf8_of(file), url, code);
            }
            if (code == kDownloadTooManyRequests) {
                if (!pause(timings_.too_many_requests)) return kSetupDownloadCancelled;
                continue;
            }
            if (code == CURLE_RANGE_ERROR) {
                resume = false;
            } else {
                if (!pause(delay)) return kSetupDownloadCancelled;
                delay += timings_.download_retry_step;
                resume = true;
            }
            if (--attempts_left < 0) {
                std::lock_guard lock(queue_lock_);
                work_queue_.push_back(entry);
                return kSetupDownloadFailedBase + code;
            }
        }
        record_downloaded(entry);
        // Files of the same content count once this one is done; show them even when no
        // transfer reports progress again.
        if (progress && plan_.is_queued(entry.hash))
            progress(total, present, fetched_bytes_.load());
        if (cancel_requested_) return kSetupDownloadCancelled;
    }
}

void SetupCenter::record_downloaded(const FileEntry& entry) {
    downloaded_.add(entry);
    const auto found = plan_.twins.find(entry.hash);
    if (found == plan_.twins.end()) return;
    for (const FileEntry& twin : found->second) {
        downloaded_.add(twin);
        add_capped(fetched_bytes_, twin.fileSize, plan_.remaining_bytes());
    }
}

void SetupCenter::add_fetched_bytes(int64_t bytes) {
    add_capped(fetched_bytes_, bytes, plan_.remaining_bytes());
}

bool SetupCenter::pause(std::chrono::milliseconds delay) {
    std::unique_lock lock(cancel_lock_);
    return !cancel_signal_.wait_for(lock, delay, [this] { return cancel_requested_.load(); });
}

void SetupCenter::cancel() {
    {
        std::lock_guard lock(cancel_lock_);
        cancel_requested_ = true;
    }
    cancel_signal_.notify_all();
    {
        std::lock_guard lock(workers_lock_);
        if (probe_) probe_->cancel();
        for (auto& worker : workers_) worker->cancel();
    }
    downloader_->cancel();
}

int64_t SetupCenter::expected_install_size() const {
    if (target_.modules > 0) return 0;
    return static_cast<int64_t>(static_cast<double>(package_.size) * kInstallSizeFactor);
}

}  // namespace velora::st
