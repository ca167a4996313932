#include "setup/download_planning.h"

#include <cctype>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

#include "net/curl_wrapper.h"
#include "report/cjson_object.h"
#include "report/crypto.h"
#include "report/logger.h"
#include "setup/install_files.h"
#include "setup/release_trust.h"
#include "setup/setup_center.h"
#include "setup/setup_data.h"
#include "sys/error_code.h"
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

// A cached file whose manifest entry names a SHA-256 is hashed before it is trusted; one
// that does not match is deleted, so the download starts from nothing.
bool cached_content_holds(const fs::path& local, const FileEntry& entry) {
    if (entry.sha256.empty()) return true;
    std::string mismatch;
    if (content_matches(local, entry, mismatch)) return true;
    log_tagged(kLogWarning, "cached file: %s, %s", utf8_of(local), mismatch);
    std::error_code ec;
    fs::remove(local, ec);
    if (ec) throw fs::filesystem_error("remove", local, ec);
    return false;
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

bool is_safe_manifest_path(std::string_view path) {
    if (path.empty()) return false;
    if (path.find('\0') != std::string_view::npos) return false;
    // A colon names a drive or an alternate stream on Windows.
    if (path.find(':') != std::string_view::npos) return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view part = path.substr(start, end - start);
        // An empty first part is a leading separator (an absolute path); "a//b" is refused too.
        if (part.empty() || part == "." || part == "..") return false;
        start = end + 1;
    }
    return true;
}

bool is_plain_file_name(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    if (name.find_first_of(std::string_view("/\\:\0", 4)) != std::string_view::npos) return false;
    const std::string record = kDownloadRecordName;
    return name != record && name != record + ".tmp" && name != std::string(kPackageName) + "_zip";
}

bool is_md5_text(std::string_view text) {
    if (text.size() != 32) return false;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

int SetupCenter::prepare_download_dir(const std::map<std::string, std::string>& response_headers,
                                      std::string& message) {
    const std::string name = download_directory_name(
        manifest_url, download_directory_id(response_headers, manifest_url));
    const auto temp = sys::temp_directory();
    if (!temp) {
        // Without a temporary directory the files would land wherever the current directory is.
        message = "get download dir failed";
        return kSetupNoDownloadDir;
    }
    download_dir = *temp / "castmill" / "installer" / name;
    std::error_code ec;
    fs::create_directories(download_dir, ec);
    if (ec) throw fs::filesystem_error("create_directories", download_dir, ec);
    load_downloaded_file();
    base_url = base_url_of(manifest_url);
    return kSetupOk;
}

void SetupCenter::plan_entry(const FileEntry& entry, int module) {
    total_bytes += entry.fileSize;
    install_lists[module].push_back(entry);
    if (auto twins = queued_twins.find(entry.hash); twins != queued_twins.end()) {
        twins->second.push_back(entry);
        return;
    }

    const fs::path local = download_dir / path_from_utf8(entry.hash);
    std::error_code ec;
    const fs::file_status status = fs::status(local, ec);
    if (ec && status.type() != fs::file_type::not_found)
        throw fs::filesystem_error("status", local, ec);
    if (fs::exists(status)) {
        const uintmax_t size = fs::file_size(local, ec);
        if (ec) throw fs::filesystem_error("file_size", local, ec);
        const auto on_disk = static_cast<int64_t>(size);
        // A record without the bytes to match (a truncated or replaced file) is no proof.
        if (is_already_downloaded(entry) && on_disk == entry.fileSize) {
            if (cached_content_holds(local, entry)) {
                present_bytes += entry.fileSize;
                return;
            }
        } else {
            present_bytes += on_disk;
        }
    }
    download_queue.push_back(entry);
    queued_twins.emplace(entry.hash, std::vector<FileEntry>{});
}

bool SetupCenter::is_already_downloaded(const FileEntry& entry) {
    std::lock_guard lock(record_lock);
    const auto found = downloaded_files.find(entry.filePath);
    return found != downloaded_files.end() && found->second.hash == entry.hash;
}

void SetupCenter::load_downloaded_file() {
    try {
        if (download_dir.empty()) return;
        const fs::path file = download_dir / kDownloadRecordName;
        if (!fs::exists(file)) return;
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        neb::CJsonObject record;
        if (!record.parse(text.str())) return;
        neb::CJsonObject& list = record.child("fileList");
        if (!list.is_array()) return;
        std::lock_guard lock(record_lock);
        for (int i = 0; i < list.array_size(); ++i) {
            neb::CJsonObject& element = list.child(i);
            FileEntry entry;
            if (element.get("filePath", entry.filePath) &&
                element.get("fileSize", entry.fileSize) && element.get("hash", entry.hash)) {
                downloaded_files[entry.filePath] = entry;
            }
        }
    } catch (const std::exception& e) {
        log_tagged(kLogWarning, "load_downloaded_file exception: %s", e.what());
    }
}

void SetupCenter::save_downloaded_file() {
    try {
        if (download_dir.empty()) return;
        neb::CJsonObject list;
        {
            std::lock_guard lock(record_lock);
            for (const auto& [path, entry] : downloaded_files) {
                neb::CJsonObject element;
                element.add("filePath", entry.filePath);
                element.add("fileSize", entry.fileSize);
                element.add("hash", entry.hash);
                list.append(element);
            }
        }
        if (list.array_size() == 0) return;
        neb::CJsonObject record;
        record.add("fileList", list);
        // Staged and renamed, so a crash leaves either the old record or the new one.
        const fs::path file = download_dir / kDownloadRecordName;
        if (!write_file_replacing(file, record.to_text() + "\n")) {
            log_tagged(kLogWarning, "save_downloaded_file exception: cannot open %s",
                       utf8_of(staging_path_of(file)));
        }
    } catch (const std::exception& e) {
        log_tagged(kLogWarning, "save_downloaded_file exception: %s", e.what());
    }
}

}  // namespace velora::st
