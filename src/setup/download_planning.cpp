#include "setup/download_planning.h"

#include <cctype>
#include <chrono>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <system_error>

#include "base/cjson_object.h"
#include "base/crypto.h"
#include "base/logger.h"
#include "base/result_codes.h"
#include "net/curl_wrapper.h"
#include "setup/file_sources.h"
#include "setup/install_files.h"
#include "setup/install_record.h"
#include "setup/release_trust.h"
#include "setup/setup_center.h"
#include "setup/setup_data.h"
#include "sys/error_code.h"
#include "sys/files.h"
#include "sys/folders.h"

namespace velora::st {

namespace fs = std::filesystem;

namespace {

constexpr size_t kRandomIdChars = 4;

bool all_digits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// "%lld_%s": the monotonic clock in nanoseconds and random characters from 0-9a-z.
std::string clock_and_random_id() {
    std::random_device device;
    std::mt19937 generator(device());
    std::string chars;
    for (size_t i = 0; i < kRandomIdChars; ++i) {
        const unsigned value = generator() % 36;
        chars += static_cast<char>(value < 10 ? '0' + value : 'a' + (value - 10));
    }
    const long long now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
    return std::to_string(now) + "_" + chars;
}

}  // namespace

std::string download_directory_id(const std::map<std::string, std::string>& response_headers,
                                  const std::string& manifest_url) {
    std::string id = find_etag(response_headers);
    if (!id.empty()) return id;
    const size_t last = manifest_url.rfind('/');
    if (last != std::string::npos && last > 0) {
        const size_t before = manifest_url.rfind('/', last - 1);
        if (before != std::string::npos) {
            const std::string_view segment =
                std::string_view(manifest_url).substr(before + 1, last - before - 1);
            if (all_digits(segment)) return std::string(segment);
        }
    }
    return clock_and_random_id();
}

std::string download_directory_name(const std::string& manifest_url, const std::string& id) {
    return md5_hex(manifest_url + "_" + id);
}

std::string base_url_of(const std::string& manifest_url) {
    const size_t last = manifest_url.rfind('/');
    return last == std::string::npos ? std::string() : manifest_url.substr(0, last);
}

int SetupCenter::prepare_download_dir(const std::map<std::string, std::string>& response_headers,
                                      std::string& message) {
    const std::string name = download_directory_name(
        release_.manifest_url(), download_directory_id(response_headers, release_.manifest_url()));
    const auto temp = sys::temp_directory();
    if (!temp) {
        // Without a temporary directory the files would land wherever the current directory is.
        message = "get download dir failed";
        return kSetupNoDownloadDir;
    }
    const fs::path dir = *temp / "castmill" / "installer" / name;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw fs::filesystem_error("create_directories", dir, ec);
    use_download_dir(dir);
    install_record_ = read_install_record(target_.install_dir);
    return kSetupOk;
}

namespace {

// Whether the entry's content is at its path in the live tree.
bool is_in_live_tree(const FileEntry& entry, const PlanSite& site) {
    // Only a digest names content; a file of the right size is no proof.
    if (site.install_dir.empty() || !is_md5_text(entry.hash)) return false;
    const fs::path live = site.install_dir / path_from_utf8(entry.filePath);
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(live, ec))) return false;
    return holds_content(live, entry, site.install_record);
}

// The entry's content in the download folder of an earlier release, if one has it.
std::optional<fs::path> earlier_download(const FileEntry& entry, const fs::path& download_dir) {
    if (!is_md5_text(entry.hash) || download_dir.empty()) return std::nullopt;
    std::error_code ec;
    for (auto it = fs::directory_iterator(download_dir.parent_path(), ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        if (it->path() == download_dir) continue;
        const fs::path candidate = it->path() / path_from_utf8(entry.hash);
        std::error_code status;
        if (!fs::is_regular_file(fs::symlink_status(candidate, status))) continue;
        if (content_matches(candidate, entry)) return candidate;
    }
    return std::nullopt;
}

}  // namespace

DownloadPlan plan_downloads(const std::vector<ManifestEntry>& entries, int modules,
                            const PlanSite& site, const DownloadedRecord& record) {
    DownloadPlan plan;
    // Content (by digest) that will be complete at its name in the download folder.
    std::set<std::string> provided;
    for (const ManifestEntry& item : entries) {
        if (item.module == 0) {
            log_tagged(kLogError, "unkonwn file module[%s]", item.entry.filePath);
            continue;
        }
        if ((item.module & modules) == 0) continue;
        const FileEntry& entry = item.entry;
        plan.total_bytes += entry.fileSize;
        plan.install_lists[item.module].push_back(entry);
        // Content already on this machine is not fetched again: first the live tree...
        if (is_in_live_tree(entry, site)) {
            plan.live_paths.insert(entry.filePath);
            plan.present_bytes += entry.fileSize;
            continue;
        }
        if (auto twins = plan.twins.find(entry.hash); twins != plan.twins.end()) {
            twins->second.push_back(entry);
            continue;
        }
        if (provided.count(entry.hash)) {
            if (!record.has(entry)) plan.adopted.push_back(entry);
            plan.present_bytes += entry.fileSize;
            continue;
        }

        const fs::path local = site.download_dir / path_from_utf8(entry.hash);
        std::error_code ec;
        const fs::file_status status = fs::status(local, ec);
        if (ec && status.type() != fs::file_type::not_found)
            throw fs::filesystem_error("status", local, ec);
        int64_t partial = 0;
        if (fs::exists(status)) {
            const uintmax_t size = fs::file_size(local, ec);
            if (ec) throw fs::filesystem_error("file_size", local, ec);
            const auto on_disk = static_cast<int64_t>(size);
            // A record without the bytes to match (a truncated or replaced file) is no proof.
            if (on_disk == entry.fileSize && record.has(entry)) {
                if (content_matches(local, entry)) {
                    if (is_md5_text(entry.hash)) provided.insert(entry.hash);
                    plan.present_bytes += entry.fileSize;
                    continue;
                }
                // Changed since it was fetched: fetched again from nothing, never trusted twice.
                log_tagged(kLogWarning, "cached file: %s does not match the manifest",
                           entry.filePath);
                plan.stale.push_back(entry);
            } else if (on_disk == entry.fileSize && is_md5_text(entry.hash) &&
                       content_matches(local, entry)) {
                // Whole content under its hash that another entry or an earlier run left.
                provided.insert(entry.hash);
                plan.adopted.push_back(entry);
                plan.present_bytes += entry.fileSize;
                continue;
            } else {
                partial = on_disk;
            }
        }
        // ...then the download folders of earlier releases.
        if (auto source = earlier_download(entry, site.download_dir)) {
            provided.insert(entry.hash);
            plan.reusable.push_back({entry, *source, partial});
            plan.present_bytes += entry.fileSize;
            continue;
        }
        plan.present_bytes += partial;
        // A cut download of the file itself goes on; otherwise a smaller form may do.
        if (partial == 0) {
            auto base = find_patch_base(entry, site);
            plan.saved_bytes += entry.fileSize - smallest_transfer(entry, base);
            if (base) plan.patch_bases.emplace(entry.filePath, std::move(*base));
        }
        plan.queue.push_back(entry);
        plan.twins.emplace(entry.hash, std::vector<FileEntry>{});
    }
    return plan;
}

void SetupCenter::apply_plan_findings() {
    bool changed = false;
    for (const FileEntry& entry : plan_.stale) {
        forget_download(entry);
        changed = true;
    }
    for (const FileEntry& entry : plan_.adopted) {
        downloaded_.add(entry);
        changed = true;
    }
    for (const ReusableFile& file : plan_.reusable) {
        if (place_earlier_download(file)) {
            downloaded_.add(file.entry);
            changed = true;
        } else {
            plan_.fetch_instead(file);
        }
    }
    plan_.stale.clear();
    plan_.adopted.clear();
    plan_.reusable.clear();
    if (changed) downloaded_.save(download_dir_);
}

bool SetupCenter::place_earlier_download(const ReusableFile& file) {
    const fs::path local = download_dir_ / path_from_utf8(file.entry.hash);
    // Under a temporary name first: a partial file at the name must not mix with it.
    fs::path staged = local;
    staged += ".reuse";
    std::error_code ignored;
    fs::remove(staged, ignored);
    fs::create_hard_link(file.source, staged, ignored);
    if (ignored && sys::copy_file(file.source, staged, true) != sys::kErrorSuccess) return false;
    std::error_code ec;
    fs::rename(staged, local, ec);
    if (ec) {
        fs::remove(staged, ignored);
        return false;
    }
    log_tagged(kLogInfo, "reuse %s for %s", utf8_of(file.source), file.entry.filePath);
    return true;
}

void SetupCenter::use_download_dir(const fs::path& dir) {
    download_dir_ = dir;
    downloaded_ = DownloadedRecord::load(dir);
}

}  // namespace velora::st
