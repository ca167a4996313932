#include "setup/release_trust.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "base/cjson_object.h"
#include "base/logger.h"
#include "base/release_signature.h"
#include "base/result_codes.h"
#include "base/utf8_path.h"
#include "layout/defaults.h"
#include "layout/paths.h"
#include "setup/manifest_rules.h"
#include "setup/run_values.h"
#include "setup/setup_data.h"
#include "sys/files.h"

namespace velora::st {

namespace {

std::string lower_case(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The next numeric part of a version text from `at`, which moves past its dot.
uint64_t next_part(std::string_view text, size_t& at) {
    uint64_t value = 0;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
        value = value * 10 + static_cast<uint64_t>(text[at] - '0');
        ++at;
    }
    const size_t dot = text.find('.', at);
    at = dot == std::string_view::npos ? text.size() : dot + 1;
    return value;
}

}  // namespace

std::string signature_url_of(const std::string& url) {
    const size_t query = url.find('?');
    if (query == std::string::npos) return url + ".sig";
    return url.substr(0, query) + ".sig" + url.substr(query);
}

bool signed_by_any(std::string_view bytes, std::string_view signature,
                   const std::vector<std::string>& keys) {
    return std::any_of(keys.begin(), keys.end(), [&](const std::string& key) {
        return verify_release_bytes(bytes, signature, key);
    });
}

int compare_versions(std::string_view a, std::string_view b) {
    size_t at_a = 0;
    size_t at_b = 0;
    while (at_a < a.size() || at_b < b.size()) {
        const uint64_t part_a = next_part(a, at_a);
        const uint64_t part_b = next_part(b, at_b);
        if (part_a != part_b) return part_a < part_b ? -1 : 1;
    }
    return 0;
}

bool content_matches(const std::filesystem::path& file, const FileEntry& entry,
                     std::string& mismatch) {
    const bool check_md5 = is_md5_text(entry.hash);
    if (!check_md5 && entry.sha256.empty()) return true;
    return digests_match(file_digests(file, check_md5), entry, mismatch);
}

bool digests_match(const ContentDigests& digests, const FileEntry& entry, std::string& mismatch) {
    const bool check_md5 = is_md5_text(entry.hash);
    if (check_md5 && digests.md5 != lower_case(entry.hash)) {
        mismatch = "md5 mismatch: " + digests.md5;
        return false;
    }
    if (!entry.sha256.empty() && digests.sha256 != lower_case(entry.sha256)) {
        mismatch = "sha256 mismatch: " + digests.sha256;
        return false;
    }
    return true;
}

bool read_signed_file(neb::CJsonObject& object, SignedFile& file) {
    file = SignedFile{};
    object.get("path", file.path);
    return object.get("fileSize", file.size) && file.size >= 0 &&
           object.get("sha256", file.sha256) && is_sha256_text(file.sha256);
}

bool has_sha256(const std::filesystem::path& file, const std::string& sha256) {
    FileEntry entry;
    entry.sha256 = sha256;
    std::string mismatch;
    if (content_matches(file, entry, mismatch)) return true;
    log_tagged(kLogWarning, "%s: %s", sys::utf8_of(file), mismatch);
    return false;
}

int64_t utc_seconds(const std::string& text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
    char zone = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &sec, &zone) !=
            7 ||
        zone != 'Z' || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60)
        return -1;
    // Days from the civil date (proleptic Gregorian), without the local time zone.
    y -= mo <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = static_cast<int64_t>(era) * 146097 + doe - 719468;
    return days * 86400 + h * 3600 + mi * 60 + sec;
}

int check_release_target(neb::CJsonObject& document, const char* what, std::string& message) {
    std::string product;
    std::string platform;
    document.get("product", product);
    document.get("platform", platform);
    if (product == kReleaseProduct && platform == kReleasePlatform) return kSetupOk;
    // A document naming no target is one signed before targets were named, or made for
    // anything: neither is known to be meant for this system.
    if (product.empty() || platform.empty()) {
        message = std::string(what) + " names no product or platform";
    } else {
        message = std::string(what) + " is for " + product + " on " + platform + ", not " +
                  kReleaseProduct + " on " + kReleasePlatform;
    }
    log_tagged(kLogWarning, "%s", message);
    return kSetupReleaseOtherTarget;
}

int read_version_answer(const std::string& body, bool pinned, int64_t now, VersionAnswer& answer,
                        std::string& message) {
    answer = VersionAnswer{};
    neb::CJsonObject json;
    if (!json.parse(body)) {
        message = "server version info error";
        return kSetupNotJson;
    }
    bool has_update = true;
    if (json.get("hasUpdate", has_update) && !has_update) {
        message = "service has stopped";
        return kSetupBadServerData;
    }
    VersionAnswer read;
    json.get("version", read.version);
    if (read.version.empty()) read.version = kDefaultVersion;
    if (!json.get("url", read.manifest_url) || read.manifest_url.empty()) {
        message = "server data error";
        return kSetupBadServerData;
    }
    if (pinned) {
        std::string expires;
        json.get("expires", expires);
        const int64_t until = utc_seconds(expires);
        if (until < 0 || until < now) {
            message =
                until < 0 ? "version info names no expiry" : "version info expired at " + expires;
            return kSetupReleaseExpired;
        }
        if (const int r = check_release_target(json, "version info", message); r != kSetupOk)
            return r;
        json.get("releaseTime", read.release_time);
    }
    if (!json.child("fullPackage").is_empty()) {
        if (!read_signed_file(json.child("fullPackage"), read.full_package) ||
            read.full_package.path.empty() || read.full_package.path[0] != '/') {
            message = "version info fullPackage invalid";
            return kSetupBadServerData;
        }
    }
    answer = std::move(read);
    return kSetupOk;
}

std::filesystem::path accepted_release_path(const std::filesystem::path& install_dir) {
    return update_folder(install_dir) / kAcceptedReleaseName;
}

AcceptedRelease read_accepted_release(const std::filesystem::path& install_dir) {
    const std::filesystem::path file = accepted_release_path(install_dir);
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) return {};
    const std::optional<std::string> text = sys::read_whole_file(file);
    neb::CJsonObject json;
    AcceptedRelease release;
    if (!text || !json.parse(*text) || !json.get("version", release.version) ||
        release.version.empty()) {
        log_tagged(kLogWarning, "accepted release record %s unreadable, ignored",
                   sys::utf8_of(file));
        return {};
    }
    json.get("releaseTime", release.release_time);
    return release;
}

bool write_accepted_release(const std::filesystem::path& install_dir,
                            const AcceptedRelease& release) {
    neb::CJsonObject json;
    json.add("version", release.version);
    json.add("releaseTime", release.release_time);
    return sys::write_file_replacing(accepted_release_path(install_dir), json.to_text() + "\n");
}

bool is_older_release(const AcceptedRelease& release, const AcceptedRelease& than) {
    if (than.version.empty()) return false;
    const int order = compare_versions(release.version, than.version);
    if (order != 0) return order < 0;
    const int64_t time = utc_seconds(release.release_time);
    const int64_t than_time = utc_seconds(than.release_time);
    return time >= 0 && than_time >= 0 && time < than_time;
}

}  // namespace velora::st
