#include "app/run_status.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "report/report_client.h"
#include "setup/setup_result.h"

namespace velora::st {

namespace {

template <typename... Args>
std::string format(const char* pattern, Args... args) {
    const int size = std::snprintf(nullptr, 0, pattern, args...);
    std::string text(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    std::snprintf(text.data(), text.size() + 1, pattern, args...);
    return text;
}

}  // namespace

void report_setup_error(int modules, RunStatus status, const std::string& text) {
    report(EventCode::by_mode(modules, EventCode::kError, EventCode::kFullError),
           format("setup error status:%d message:%s", status_number(status), text.c_str()));
}

void report_download_end(int modules, bool success, int64_t kilobytes, int seconds) {
    const auto kb = static_cast<long long>(kilobytes);
    if (success) {
        report(EventCode::by_mode(modules, EventCode::kDownloaded, EventCode::kFullDownloaded),
               format("download setup package[%lldkb/%ds] success", kb, seconds));
    } else {
        report(EventCode::by_mode(modules, EventCode::kError, EventCode::kFullError),
               format("download setup package [%lldkb/%ds] cancel", kb, seconds));
    }
}

void report_user_cancel(int modules, RunStatus status) {
    report(EventCode::by_mode(modules, EventCode::kUserCancel, EventCode::kFullUserCancel),
           format("user cancel[%d]", status_number(status)));
}

void report_app_started(int result) {
    report(EventCode::kAppStarted, format("start castmill[%d]", result));
}

void DownloadRate::restart(double seconds) {
    std::lock_guard guard(lock);
    samples.assign(1, {seconds, 0});
}

void DownloadRate::add(double seconds, int64_t fetched) {
    std::lock_guard guard(lock);
    // Callers on other threads may come a moment late; the newest sample stands.
    if (!samples.empty() && seconds <= samples.back().first) return;
    samples.emplace_back(seconds, fetched);
    // Keep one sample at or before the span's start, so the span stays whole.
    while (samples.size() > 2 && samples[1].first <= seconds - kSpanSeconds) samples.pop_front();
}

double DownloadRate::bytes_per_second() const {
    std::lock_guard guard(lock);
    if (samples.size() < 2) return 0;
    const auto& [first_seconds, first_bytes] = samples.front();
    const auto& [last_seconds, last_bytes] = samples.back();
    const double span = last_seconds - first_seconds;
    if (span <= 0 || last_bytes <= first_bytes) return 0;
    return static_cast<double>(last_bytes - first_bytes) / span;
}

DownloadEstimate estimate_download(int64_t total, int64_t cache, int64_t now,
                                   double bytes_per_second) {
    DownloadEstimate estimate;
    estimate.total_bytes = std::max<int64_t>(total, 0);
    estimate.done_bytes = std::max<int64_t>(std::min(total, cache + now), 0);
    if (total > 0)
        estimate.percent = static_cast<int>(static_cast<double>(estimate.done_bytes) / total * 100);
    if (now > 0 && bytes_per_second > 0) {
        const int64_t to_fetch = cache > 0 ? total - cache : total;
        const double left = static_cast<double>(std::max<int64_t>(to_fetch - now, 0));
        estimate.remaining_seconds = static_cast<int>(left / bytes_per_second);
        estimate.remaining_known = true;
    }
    return estimate;
}

int64_t folder_size(const std::filesystem::path& folder) {
    int64_t sum = 0;
    std::error_code error;
    std::filesystem::recursive_directory_iterator it(
        folder, std::filesystem::directory_options::skip_permission_denied, error);
    for (; !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        std::error_code entry_error;
        if (!it->is_regular_file(entry_error)) continue;
        const uintmax_t size = it->file_size(entry_error);
        sum += entry_error ? -1 : static_cast<int64_t>(size);
    }
    return sum;
}

}  // namespace velora::st
