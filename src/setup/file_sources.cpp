#include "setup/file_sources.h"

#include <system_error>

#include "base/cjson_object.h"
#include "base/crypto.h"
#include "base/logger.h"
#include "base/release_signature.h"
#include "base/result_codes.h"
#include "layout/paths.h"
#include "net/curl_wrapper.h"
#include "net/stall_limit.h"
#include "setup/install_files.h"
#include "setup/install_record.h"
#include "setup/manifest_rules.h"
#include "setup/run_values.h"
#include "setup/setup_center.h"
#include "setup/zstd_decode.h"

namespace velora::st {

namespace fs = std::filesystem;

FileSources read_file_sources(neb::CJsonObject& element, const std::string& file_path) {
    FileSources sources;
    if (int64_t size = 0; element.get("compressedSize", size)) {
        if (size > 0)
            sources.compressed_size = size;
        else
            log_tagged(kLogWarning, "manifest compressedSize invalid: %lld (%s)",
                       static_cast<long long>(size), file_path);
    }
    neb::CJsonObject& patches = element.child("patches");
    for (int i = 0; patches.is_array() && i < patches.array_size(); ++i) {
        neb::CJsonObject& item = patches.child(i);
        FilePatch patch;
        item.get("from_sha256", patch.from_sha256);
        item.get("from_hash", patch.from_hash);
        item.get("sha256", patch.sha256);
        item.get("size", patch.size);
        // The digests name files in the download folder and on the server: nothing else.
        if (!is_sha256_text(patch.from_sha256) || !is_sha256_text(patch.sha256) ||
            patch.size <= 0) {
            log_tagged(kLogWarning, "manifest patch %d invalid (%s)", i, file_path);
            continue;
        }
        sources.patches.push_back(std::move(patch));
    }
    return sources;
}

std::string patch_file_name(const FilePatch& patch, const std::string& to_sha256) {
    return patch.from_sha256 + "-" + to_sha256 + kZstdSuffix;
}

std::optional<PatchBase> find_patch_base(const FileEntry& entry, const PlanSite& site) {
    const auto& patches = entry.sources.patches;
    if (patches.empty() || !is_sha256_text(entry.sha256) || entry.fileSize <= 0 ||
        site.install_dir.empty())
        return std::nullopt;
    const fs::path live = site.install_dir / path_from_utf8(entry.filePath);
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(live, ec))) return std::nullopt;
    if (const auto found = site.install_record.find(entry.filePath);
        found != site.install_record.end()) {
        const RecordedFile& recorded = found->second;
        const auto now = describe_file(live, recorded.hash);
        if (now && now->size == recorded.size && now->modified == recorded.modified) {
            for (const FilePatch& patch : patches) {
                if (!patch.from_hash.empty() && patch.from_hash == recorded.hash)
                    return PatchBase{patch, live};
            }
        }
    }
    const std::string digest = file_digests(live).sha256;
    for (const FilePatch& patch : patches) {
        if (!digest.empty() && patch.from_sha256 == digest) return PatchBase{patch, live};
    }
    return std::nullopt;
}

int64_t smallest_transfer(const FileEntry& entry, const std::optional<PatchBase>& base) {
    int64_t bytes = entry.fileSize;
    if (entry.sources.compressed_size > 0) bytes = std::min(bytes, entry.sources.compressed_size);
    if (base) bytes = std::min(bytes, base->patch.size);
    return bytes;
}

int SetupCenter::fetch_source(CurlWrapper& client, const std::string& url, const fs::path& file,
                              int64_t size, const std::function<bool(int64_t)>& before_attempt) {
    client.set_size_limit(size);
    bool resume = true;
    int code = 0;
    for (int attempt = 0; attempt <= kRetriesPerFile; ++attempt) {
        std::error_code ec;
        int64_t offset = resume ? static_cast<int64_t>(fs::file_size(file, ec)) : 0;
        if (ec) offset = 0;
        // More than the signed size on disk is not a start of this file.
        if (offset > size) {
            fs::remove(file, ec);
            offset = 0;
        }
        if (before_attempt && !before_attempt(offset)) return kDownloadHashMismatch;
        code = client.download(url, file, resume,
                               release_keys_.empty() ? 0 : transfer_deadline_seconds(size));
        if (code == CURLE_ABORTED_BY_CALLBACK) return kSetupDownloadCancelled;
        if (code == 0) {
            const auto got = static_cast<int64_t>(fs::file_size(file, ec));
            if (!ec && got == size) return kSetupOk;
            code = kDownloadSizeMismatch;
            if (ec || got > size || client.response_code() == 416) fs::remove(file, ec);
        }
        log_tagged(kLogWarning, "download file: %s, url: %s, failed code: %d", utf8_of(file), url,
                   code);
        // An answer that the file is not there, or a write the decoder refused: the next
        // source, not another try.
        if (code == kDownloadHttpError || code == kDownloadTooManyRequests ||
            code == CURLE_WRITE_ERROR)
            return code;
        if (code == CURLE_RANGE_ERROR) {
            resume = false;
        } else {
            resume = true;
            if (!pause(timings_.download_retry_first)) return kSetupDownloadCancelled;
        }
    }
    return code;
}

int SetupCenter::fetch_by_patch(CurlWrapper& client, const FileEntry& entry, const PatchBase& base,
                                const fs::path& out) {
    const fs::path dir = download_dir_ / kSourcesFolder;
    const fs::path patch = dir / path_from_utf8(patch_file_name(base.patch, entry.sha256));
    const std::string url =
        release_.base_url() + "/" + kPatchFolder + "/" + patch_file_name(base.patch, entry.sha256);
    log_tagged(kLogInfo, "download patch: %s for %s", url, entry.filePath);
    const int code = fetch_source(client, url, patch, base.patch.size, {});
    if (code == kSetupDownloadCancelled) return code;
    std::error_code ignored;
    std::string why;
    if (code != kSetupOk) {
        why = "failed code " + std::to_string(code);
    } else if (file_digests(patch).sha256 != base.patch.sha256) {
        why = "patch sha256 mismatch";
    } else if (!decode_patch(base.base, patch, out, entry.fileSize, why)) {
    } else if (!content_matches(out, entry)) {
        why = "patched file does not match the manifest";
    } else {
        fs::remove(patch, ignored);
        return kSetupOk;
    }
    log_tagged(kLogWarning, "patch of %s: %s", entry.filePath, why);
    // A finished patch that failed is never used again; a cut one is resumed next run.
    if (code == kSetupOk) fs::remove(patch, ignored);
    fs::remove(out, ignored);
    return kDownloadHashMismatch;
}

int SetupCenter::fetch_compressed(CurlWrapper& client, const FileEntry& entry,
                                  const fs::path& out) {
    const fs::path dir = download_dir_ / kSourcesFolder;
    fs::path compressed = dir / path_from_utf8(entry.hash);
    compressed += kZstdSuffix;
    const std::string url = release_.file_url(entry.filePath + kZstdSuffix);
    StreamDecoder decoder;
    // Each attempt decodes afresh: what is on disk first, then what arrives.
    const auto restart = [&](int64_t offset) {
        return decoder.open(out, entry.fileSize) && decoder.feed_file(compressed, offset);
    };
    client.set_data_tap(
        [&decoder](const char* data, size_t bytes) { return decoder.feed(data, bytes); });
    const int code = fetch_source(client, url, compressed, entry.sources.compressed_size, restart);
    client.set_data_tap(nullptr);
    if (code == kSetupDownloadCancelled) return code;
    std::error_code ignored;
    std::string why;
    if (code != kSetupOk) {
        why = decoder.why().empty() ? "failed code " + std::to_string(code) : decoder.why();
    } else if (!decoder.finish()) {
        why = decoder.why();
    } else if (!content_matches(out, entry)) {
        why = "decoded file does not match the manifest";
    } else {
        fs::remove(compressed, ignored);
        return kSetupOk;
    }
    log_tagged(kLogWarning, "compressed %s: %s", entry.filePath, why);
    if (code == kSetupOk || !decoder.why().empty()) fs::remove(compressed, ignored);
    fs::remove(out, ignored);
    return kDownloadHashMismatch;
}

int SetupCenter::fetch_smaller_source(CurlWrapper& client, const FileEntry& entry, bool& fetched) {
    fetched = false;
    const auto base = plan_.patch_bases.find(entry.filePath);
    const bool compressed = entry.sources.compressed_size > 0 && entry.fileSize > 0;
    if (base == plan_.patch_bases.end() && !compressed) return kSetupOk;
    const fs::path dir = download_dir_ / kSourcesFolder;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) return kSetupOk;
    fs::path out = dir / path_from_utf8(entry.hash);
    out += ".out";
    int code = kDownloadHashMismatch;
    int64_t transferred = 0;
    if (base != plan_.patch_bases.end()) {
        code = fetch_by_patch(client, entry, base->second, out);
        transferred = base->second.patch.size;
    }
    if (code != kSetupOk && code != kSetupDownloadCancelled && compressed) {
        code = fetch_compressed(client, entry, out);
        transferred = entry.sources.compressed_size;
    }
    if (code != kSetupOk) return code == kSetupDownloadCancelled ? code : kSetupOk;
    // Only checked content takes the entry's name.
    fs::rename(out, download_dir_ / path_from_utf8(entry.hash), ec);
    if (ec) {
        fs::remove(out, ec);
        return kSetupOk;
    }
    fetched = true;
    // The progress counted the smaller transfer; the rest of the file arrived with it.
    add_fetched_bytes(entry.fileSize - transferred);
    return kSetupOk;
}

}  // namespace velora::st
