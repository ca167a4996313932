#include "setup/run_values.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "base/cjson_object.h"
#include "base/logger.h"
#include "base/utf8_path.h"
#include "setup/download_planning.h"
#include "setup/manifest_rules.h"
#include "setup/setup_data.h"
#include "sys/files.h"

namespace velora::st {

namespace fs = std::filesystem;

Release::Release(std::string version, std::string manifest_url)
    : version_(std::move(version)),
      manifest_url_(std::move(manifest_url)),
      base_url_(base_url_of(manifest_url_)) {}

std::string Release::file_url(std::string_view file_path) const {
    std::string url;
    for (char c : base_url_ + "/" + std::string(file_path)) {
        if (c == ' ')
            url += "%20";
        else
            url += c;
    }
    return url;
}

std::string Release::package_url() const { return base_url_ + "/" + kPackageName + ".zip"; }

DownloadedRecord& DownloadedRecord::operator=(const DownloadedRecord& other) {
    if (this == &other) return *this;
    auto files = other.files();
    std::lock_guard lock(lock_);
    files_ = std::move(files);
    return *this;
}

DownloadedRecord DownloadedRecord::load(const fs::path& download_dir) {
    std::map<std::string, FileEntry> files;
    try {
        if (download_dir.empty()) return {};
        const fs::path file = download_dir / kDownloadRecordName;
        if (!fs::exists(file)) return {};
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        neb::CJsonObject record;
        if (!record.parse(text.str())) return {};
        neb::CJsonObject& list = record.child("fileList");
        if (!list.is_array()) return {};
        for (int i = 0; i < list.array_size(); ++i) {
            neb::CJsonObject& element = list.child(i);
            FileEntry entry;
            if (element.get("filePath", entry.filePath) &&
                element.get("fileSize", entry.fileSize) && element.get("hash", entry.hash)) {
                files[entry.filePath] = entry;
            }
        }
    } catch (const std::exception& e) {
        log_tagged(kLogWarning, "load_downloaded_file exception: %s", e.what());
    }
    return DownloadedRecord(std::move(files));
}

void DownloadedRecord::save(const fs::path& download_dir) const {
    try {
        if (download_dir.empty()) return;
        neb::CJsonObject list;
        for (const auto& [path, entry] : files()) {
            neb::CJsonObject element;
            element.add("filePath", entry.filePath);
            element.add("fileSize", entry.fileSize);
            element.add("hash", entry.hash);
            list.append(element);
        }
        if (list.array_size() == 0) return;
        neb::CJsonObject record;
        record.add("fileList", list);
        // Staged and renamed, so a crash leaves either the old record or the new one.
        const fs::path file = download_dir / kDownloadRecordName;
        if (!sys::write_file_replacing(file, record.to_text() + "\n")) {
            log_tagged(kLogWarning, "save_downloaded_file exception: cannot open %s",
                       sys::utf8_of(sys::staging_path_of(file)));
        }
    } catch (const std::exception& e) {
        log_tagged(kLogWarning, "save_downloaded_file exception: %s", e.what());
    }
}

bool DownloadedRecord::has(const FileEntry& entry) const {
    std::lock_guard lock(lock_);
    const auto found = files_.find(entry.filePath);
    return found != files_.end() && found->second.hash == entry.hash;
}

void DownloadedRecord::add(const FileEntry& entry) {
    std::lock_guard lock(lock_);
    files_[entry.filePath] = entry;
}

namespace {

// Empty where the platform cannot tell a file's identity, or the file cannot be read.
std::string stamp_of(const std::filesystem::path& file) {
    std::error_code ec;
    const std::string identity = sys::identity_of(file);
    const auto size = std::filesystem::file_size(file, ec);
    if (identity.empty() || ec) return {};
    const auto written = std::filesystem::last_write_time(file, ec);
    if (ec) return {};
    return identity + ":" + std::to_string(size) + ":" +
           std::to_string(written.time_since_epoch().count());
}

}  // namespace

void CheckedDownloads::add(const std::string& hash, const std::filesystem::path& file) {
    std::string stamp = stamp_of(file);
    std::lock_guard lock(lock_);
    if (stamp.empty())
        stamps_.erase(hash);
    else
        stamps_[hash] = std::move(stamp);
}

bool CheckedDownloads::holds(const std::string& hash, const std::filesystem::path& file) const {
    const std::string stamp = stamp_of(file);
    std::lock_guard lock(lock_);
    const auto found = stamps_.find(hash);
    return !stamp.empty() && found != stamps_.end() && found->second == stamp;
}

void DownloadedRecord::forget_content(const std::string& hash) {
    std::lock_guard lock(lock_);
    std::erase_if(files_, [&](const auto& item) { return item.second.hash == hash; });
}

std::map<std::string, FileEntry> DownloadedRecord::files() const {
    std::lock_guard lock(lock_);
    return files_;
}

bool DownloadedRecord::empty() const {
    std::lock_guard lock(lock_);
    return files_.empty();
}

size_t DownloadPlan::entry_count() const {
    size_t count = 0;
    for (const auto& [module, entries] : install_lists) count += entries.size();
    return count;
}

void DownloadPlan::fetch_instead(const ReusableFile& file) {
    const FileEntry& entry = file.entry;
    present_bytes -= std::min(present_bytes, entry.fileSize - file.partial_bytes);
    if (is_queued(entry.hash)) {
        twins[entry.hash].push_back(entry);
        return;
    }
    queue.push_back(entry);
    twins.emplace(entry.hash, std::vector<FileEntry>{});
}

}  // namespace velora::st
