#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "base/cjson_object.h"
#include "base/logger.h"
#include "base/release_signature.h"
#include "base/result_codes.h"
#include "layout/defaults.h"
#include "layout/launch_options.h"
#include "layout/modules.h"
#include "layout/paths.h"
#include "net/curl_wrapper.h"
#include "net/service_hosts.h"
#include "setup/download_planning.h"
#include "setup/file_sources.h"
#include "setup/install_record.h"
#include "setup/release_trust.h"
#include "setup/setup_center.h"
#include "setup/setup_data.h"
#include "setup/setup_result.h"
#include "sys/error_code.h"
#include "sys/files.h"
#include "sys/folders.h"

namespace velora::st {

namespace fs = std::filesystem;

namespace {

constexpr int kRequestAttempts = 3;
constexpr int kProbeTimeoutSeconds = 180;
constexpr const char* kVersionPath = "/app/getCastmillUpdate/mergedKit/windows?castmill=1.0.0";

// Reads "fileList" into entries. Elements that are not objects or lack a path or hash are
// skipped, as the service sends them; any entry that could reach outside the install or
// download directory fails the whole manifest, before anything of it is planned.
int read_file_list(neb::CJsonObject& list, bool signed_list, std::vector<ManifestEntry>& entries,
                   std::string& message) {
    // The byte totals and the progress add sizes up; a list whose sizes cannot be summed
    // is bad data, not a download.
    int64_t all_sizes = 0;
    for (int i = 0; i < list.array_size(); ++i) {
        neb::CJsonObject& element = list.child(i);
        ManifestEntry item;
        FileEntry& entry = item.entry;
        if (!element.get("filePath", entry.filePath) || !element.get("hash", entry.hash) ||
            entry.filePath.empty() || entry.hash.empty()) {
            continue;
        }
        if (!element.get("fileSize", entry.fileSize)) entry.fileSize = 0;
        element.get("sha256", entry.sha256);
        entry.sources = read_file_sources(element, entry.filePath);
        if (!is_safe_manifest_path(entry.filePath)) {
            message = "manifest file path unsafe: " + entry.filePath;
        } else if (entry.hash.size() > kMaxFileNameBytes) {
            message = "manifest file hash too long for a file name: " +
                      std::to_string(entry.hash.size()) + " bytes (" + entry.filePath + ")";
        } else if (!is_plain_file_name(entry.hash)) {
            message = "manifest file hash unsafe: " + entry.hash + " (" + entry.filePath + ")";
        } else if (signed_list && entry.sha256.empty()) {
            // The MD5 alone names no content an attacker could not make again.
            message = "manifest file without sha256: " + entry.filePath;
        } else if (!entry.sha256.empty() && !is_sha256_text(entry.sha256)) {
            message = "manifest file sha256 invalid: " + entry.sha256 + " (" + entry.filePath + ")";
        } else if (entry.fileSize < 0) {
            message = "manifest file size invalid: " + std::to_string(entry.fileSize) + " (" +
                      entry.filePath + ")";
        } else if (entry.fileSize > std::numeric_limits<int64_t>::max() - all_sizes) {
            message = "manifest file sizes too large to add up: " + std::to_string(entry.fileSize) +
                      " (" + entry.filePath + ")";
        }
        if (!message.empty()) {
            log_tagged(kLogWarning, "%s", message);
            return signed_list && entry.sha256.empty() ? kSetupUntrustedRelease
                                                       : kSetupBadServerData;
        }
        all_sizes += entry.fileSize;
        item.module = module_of_path(entry.filePath);
        entries.push_back(std::move(item));
    }
    return kSetupOk;
}

// The installed version as far as anything on disk says: the highest of setup.data, the
// suite's config.json and the install record, so that removing one of them does not open
// the way to an older release.
std::string installed_version(const fs::path& install_dir) {
    const std::optional<RecordedRelease> recorded = read_setup_data(install_dir);
    std::string highest = recorded ? recorded->version : std::string();
    const auto take = [&highest](const std::string& other) {
        if (compare_versions(other, highest) > 0) highest = other;
    };
    std::string gver;
    try {
        if (read_app_version(install_dir, gver)) take(gver);
    } catch (const fs::filesystem_error&) {
        // An unreadable config.json names no version; the others stand.
    }
    take(install_record_version(install_dir));
    return highest;
}

}  // namespace

// A body over the limit is not retried: the server would only send it again. An error
// status is retried with the pauses of a file download; then it is the server's error,
// not a document to parse or check.
int SetupCenter::fetch_metadata(const std::string& url, HttpHeaderMap* headers, const char* what,
                                int64_t limit, std::string& body, std::string& message) {
    const auto now = std::chrono::steady_clock::now();
    if (metadata_deadline_ == std::chrono::steady_clock::time_point{})
        metadata_deadline_ = now + timings_.metadata_deadline;
    probe_->set_size_limit(limit);
    int code = 0;
    long status = 0;
    auto http_delay = timings_.download_retry_first;
    for (int attempt = 0; attempt < kRequestAttempts; ++attempt) {
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(
            metadata_deadline_ - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            code = CURLE_OPERATION_TIMEDOUT;
            log_tagged(kLogWarning, "release metadata took longer than %lld s",
                       static_cast<long long>(timings_.metadata_deadline.count()));
            break;
        }
        probe_->set_timeout(
            static_cast<int>(std::min<int64_t>(kProbeTimeoutSeconds, left.count())));
        code = headers ? probe_->get(url, *headers, body) : probe_->get(url, body);
        status = code == 0 ? probe_->last_status() : 0;
        if (code == 0 && status == 200) break;
        if (code == CURLE_FILESIZE_EXCEEDED || code == CURLE_ABORTED_BY_CALLBACK) break;
        bool waited = false;
        if (code == 0) {
            code = status == 429 ? kDownloadTooManyRequests : kDownloadHttpError;
            waited = pause(http_delay);
            http_delay += timings_.download_retry_step;
        } else {
            waited = pause(timings_.request_retry);
        }
        if (!waited) break;
    }
    probe_->set_size_limit(-1);
    probe_->set_timeout(kProbeTimeoutSeconds);
    if (code == 0) return kSetupOk;
    if (code == CURLE_FILESIZE_EXCEEDED) {
        message = std::string(what) + " larger than " + std::to_string(limit) + " bytes";
        return kSetupBadServerData;
    }
    message = std::string("request ") + what + " failed";
    if (code == kDownloadHttpError || code == kDownloadTooManyRequests) {
        message += ": server answered " + std::to_string(status);
        log_tagged(kLogWarning, "%s (%s)", message, url);
        return kSetupDownloadFailedBase + code;
    }
    return code;
}

int SetupCenter::fetch_verified(const std::string& url, HttpHeaderMap* headers, const char* what,
                                std::string& body, std::string& message) {
    if (const int r = fetch_metadata(url, headers, what, kMaxMetadataBytes, body, message);
        r != kSetupOk)
        return r;
    return verify_signature(url, body, what, message);
}

int SetupCenter::initialize(const LaunchOptions& options, std::string& message) {
    message.clear();
    target_ = InstallTarget{options.install_dir, options.setup_source, options.modules,
                            options.allow_downgrade};
    const int modules = target_.modules;
    try {
        const int r = prepare(message);
        if (r != kSetupOk) {
            // With pinned keys the full installer is run only as the signed answer names it.
            if (modules > 0 || !release_keys_.empty()) {
                log_tagged(kLogWarning, "SetupCenter::initialize failed. code: %d %s", r, message);
                return r;
            }
            release_ = Release(std::string(kDefaultVersion), release_.manifest_url());
        }
        log_tagged(kLogInfo, "last castmill version: %s", release_.version());
        if (events_ && events_->start(release_.version())) {
            char text[128];
            std::snprintf(text, sizeof text, "start setup.exe[%s]. module: %d",
                          std::string(kInstallerVersion).c_str(), modules);
            send_event(EventCode::by_mode(modules, EventCode::kStart, EventCode::kFullStart), text);
        }
        return kSetupOk;
    } catch (const fs::filesystem_error& e) {
        log_tagged(kLogWarning, "setup init: %d %s", sys::system_code(e.code()), e.what());
        return kSetupFileSystemError;
    } catch (const std::exception& e) {
        log_tagged(kLogWarning, "setup init exception: %s", e.what());
        return kSetupException;
    }
}

int SetupCenter::prepare(std::string& message) {
    // An update of secondary modules reuses the manifest of the last application install.
    const int modules = target_.modules;
    if (modules > 0 && (modules & ModuleApp) == 0) load_setup_data();
    {
        std::lock_guard lock(workers_lock_);
        if (!probe_) {
            probe_ = std::make_unique<CurlWrapper>(kProbeTimeoutSeconds, timings_.stall);
            if (cancel_requested_) probe_->cancel();
        }
    }
    if (release_.manifest_url().empty()) {
        const int r = request_version(message);
        if (r != kSetupOk) {
            log_tagged(kLogWarning, "init version failed. code: %d %s", r, message);
            if (modules > 0 || !release_keys_.empty()) return r;
            release_ = Release(std::string(kDefaultVersion), release_.manifest_url());
        }
    }
    if (modules <= 0 && !release_keys_.empty() && !release_.full_package().named()) {
        message = "version info names no full installer";
        log_tagged(kLogWarning, "%s", message);
        return kSetupUntrustedRelease;
    }
    if (modules <= 0) {
        if (!sys::temp_directory()) {
            message = "get download dir failed";
            return kSetupNoDownloadDir;
        }
        const fs::path dir = download_base();
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec) throw fs::filesystem_error("create_directories", dir, ec);
        download_dir_ = dir;
        return kSetupOk;
    }
    return request_manifest(message);
}

int SetupCenter::request_version(std::string& message) {
    const std::string url = update_host() + kVersionPath;
    std::string body;
    if (const int r = fetch_verified(url, nullptr, "version info", body, message); r != kSetupOk)
        return r;

    VersionAnswer answer;
    if (const int r =
            read_version_answer(body, !release_keys_.empty(),
                                static_cast<int64_t>(std::time(nullptr)), answer, message);
        r != kSetupOk)
        return r;
    if (const int r = check_not_older({answer.version, answer.release_time}, message);
        r != kSetupOk)
        return r;
    release_ = Release(answer.version, answer.manifest_url);
    release_.set_full_package(std::move(answer.full_package));
    return kSetupOk;
}

int SetupCenter::request_manifest(std::string& message) {
    HttpHeaderMap headers;
    std::string body;
    // Nothing of an unverified manifest is used, not even its ETag for the download folder.
    if (const int r = fetch_verified(release_.manifest_url(), &headers, "manifest", body, message);
        r != kSetupOk)
        return r;

    if (const int r = prepare_download_dir(headers, message); r != kSetupOk) return r;
    if (release_.base_url().empty()) {
        message = "manifest url invalid";
        return kSetupBadServerData;
    }
    return plan_manifest(body, message);
}

int SetupCenter::plan_manifest(const std::string& body, std::string& message) {
    neb::CJsonObject manifest;
    if (!manifest.parse(body)) {
        message = "server manifest error";
        return kSetupNotJson;
    }
    neb::CJsonObject& list = manifest.child("fileList");
    if (!list.is_array() || list.array_size() == 0) {
        message = "manifest fileList missing";
        return kSetupBadServerData;
    }
    if (const int r = check_manifest_release(manifest, message); r != kSetupOk) return r;

    std::vector<ManifestEntry> entries;
    if (const int r = read_file_list(list, !release_keys_.empty(), entries, message); r != kSetupOk)
        return r;
    if (const int r = read_archive_listing(manifest, entries, message); r != kSetupOk) return r;
    plan_ =
        plan_downloads(entries, target_.modules,
                       PlanSite{target_.install_dir, download_dir_, install_record_}, downloaded_);
    apply_plan_findings();
    return kSetupOk;
}

int SetupCenter::verify_signature(const std::string& url, const std::string& body, const char* what,
                                  std::string& message) {
    if (release_keys_.empty()) return kSetupOk;
    std::string signature;
    const std::string signature_of = std::string(what) + " signature";
    const int code = fetch_metadata(signature_url_of(url), nullptr, signature_of.c_str(),
                                    kMaxSignatureBytes, signature, message);
    // A server's or the network's failure is named as such; anything larger than a
    // signature line (the message says so) is no signature.
    if (code != kSetupOk && code != kSetupBadServerData) return code;
    if (code == kSetupOk) {
        if (signed_by_any(body, signature, release_keys_)) return kSetupOk;
        message = signature_of + (signature.empty() ? " missing" : " invalid");
    }
    log_tagged(kLogWarning, "%s: %s", message, signature_url_of(url));
    return kSetupUntrustedRelease;
}

int SetupCenter::read_archive_listing(neb::CJsonObject& manifest,
                                      const std::vector<ManifestEntry>& entries,
                                      std::string& message) {
    archive_ = ArchiveListing{};
    // Only a signed manifest's archive is taken: its entries are bounded by what it lists.
    if (release_keys_.empty() || manifest.child("package").is_empty()) return kSetupOk;
    if (!read_signed_file(manifest.child("package"), archive_.archive)) {
        archive_ = ArchiveListing{};
        message = "manifest package invalid";
        log_tagged(kLogWarning, "%s", message);
        return kSetupBadServerData;
    }
    for (const ManifestEntry& item : entries) {
        const auto [at, added] =
            archive_.entry_sizes.emplace(item.entry.filePath, item.entry.fileSize);
        if (added) archive_.total_bytes += item.entry.fileSize;
    }
    return kSetupOk;
}

int SetupCenter::check_manifest_release(neb::CJsonObject& manifest, std::string& message) {
    if (release_keys_.empty()) return kSetupOk;
    const std::string& version = release_.version();
    std::string manifest_version;
    std::string release_time;
    manifest.get("version", manifest_version);
    manifest.get("releaseTime", release_time);
    // The version answer (or setup.data) named a version; a validly signed manifest of
    // another release must not stand in for it.
    if (manifest_version.empty() || manifest_version != version) {
        message = "manifest version " + manifest_version + " does not match release " + version;
        log_tagged(kLogWarning, "%s", message);
        return kSetupUntrustedRelease;
    }
    if (const int r = check_release_target(manifest, "manifest", message); r != kSetupOk) return r;
    release_.set_release_time(release_time);
    const std::string installed = installed_version(target_.install_dir);
    log_tagged(kLogInfo, "signed release %s of %s, installed: %s", manifest_version, release_time,
               installed);
    if (!installed.empty() && compare_versions(manifest_version, installed) < 0) {
        if (!target_.allow_downgrade) {
            message =
                "release " + manifest_version + " is older than installed version " + installed;
            log_tagged(kLogWarning, "%s", message);
            return kSetupDowngradeRefused;
        }
        log_tagged(kLogWarning, "downgrade from %s to %s allowed by the command line", installed,
                   manifest_version);
    }
    return check_not_older({manifest_version, release_time}, message);
}

int SetupCenter::check_not_older(const AcceptedRelease& release, std::string& message) {
    if (release_keys_.empty()) return kSetupOk;
    const AcceptedRelease accepted = read_accepted_release(target_.install_dir);
    if (!is_older_release(release, accepted)) return kSetupOk;
    if (target_.allow_downgrade) {
        log_tagged(kLogWarning, "release %s of %s older than accepted %s of %s, allowed",
                   release.version, release.release_time, accepted.version, accepted.release_time);
        return kSetupOk;
    }
    message = "release " + release.version + " of " + release.release_time +
              " is older than accepted release " + accepted.version + " of " +
              accepted.release_time;
    log_tagged(kLogWarning, "%s", message);
    return kSetupDowngradeRefused;
}

}  // namespace velora::st
