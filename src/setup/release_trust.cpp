#include "setup/release_trust.h"

#include <algorithm>
#include <cctype>

#include "base/cjson_object.h"
#include "base/logger.h"
#include "base/release_signature.h"
#include "base/utf8_path.h"
#include "setup/download_planning.h"
#include "setup/run_values.h"

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
    const ContentDigests digests = file_digests(file);
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

}  // namespace velora::st
