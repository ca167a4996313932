#include "setup/setup_data.h"

#include <cerrno>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "base/cjson_object.h"
#include "base/crypto.h"
#include "base/logger.h"
#include "base/result_codes.h"
#include "layout/defaults.h"
#include "layout/paths.h"
#include "setup/setup_center.h"
#include "sys/error_code.h"
#include "sys/files.h"

namespace velora::st {

namespace fs = std::filesystem;

namespace {

// Binds "sign" to the two values, so that a hand-edited file is not trusted.
constexpr std::string_view kSetupDataSalt = "qarvin417";

// fs::exists that reports an absent file as false and any other failure as an error.
bool file_exists(const fs::path& file) {
    std::error_code ec;
    const bool found = fs::exists(file, ec);
    if (ec) throw fs::filesystem_error("exists", file, ec);
    return found;
}

}  // namespace

fs::path setup_data_path(const fs::path& install_dir) {
    return update_folder(install_dir) / "setup.data";
}

fs::path app_config_path(const fs::path& install_dir) {
    return update_folder(install_dir) / "config.json";
}

std::string setup_data_sign(std::string_view manifest_url, std::string_view version) {
    std::string text;
    text.append(manifest_url).append(version).append(kSetupDataSalt);
    return md5_hex(text);
}

std::optional<RecordedRelease> read_setup_data(const fs::path& install_dir) {
    const std::optional<std::string> text = sys::read_whole_file(setup_data_path(install_dir));
    neb::CJsonObject data;
    if (!text || !data.parse(*text)) return std::nullopt;
    RecordedRelease recorded;
    std::string sign;
    if (!data.get("manifest_url", recorded.manifest_url) || recorded.manifest_url.empty() ||
        !data.get("version", recorded.version) || !data.get("sign", sign) ||
        setup_data_sign(recorded.manifest_url, recorded.version) != sign) {
        return std::nullopt;
    }
    return recorded;
}

void SetupCenter::save_setup_data() { save_setup_data(target_.install_dir); }

int SetupCenter::save_setup_data(const fs::path& root) {
    log_tagged(kLogInfo, "save_setup_data");
    try {
        neb::CJsonObject data;
        data.add("manifest_url", release_.manifest_url());
        data.add("version", release_.version());
        data.add("sign", setup_data_sign(release_.manifest_url(), release_.version()));
        // Without an Update folder nothing is written, as before, but the caller hears of it.
        if (sys::write_file_replacing(setup_data_path(root), data.to_text() + "\n"))
            return kSetupOk;
    } catch (const fs::filesystem_error& e) {
        log_tagged(kLogWarning, "save_setup_data  error: %d %s", sys::system_code(e.code()),
                   e.what());
    } catch (const std::exception& e) {
        log_tagged(kLogWarning, "save_setup_data  exception: %s", e.what());
    }
    return kSetupFileSystemError;
}

void SetupCenter::load_setup_data() {
    try {
        const fs::path& install_dir = target_.install_dir;
        const std::optional<RecordedRelease> recorded = read_setup_data(install_dir);
        if (!recorded) return;
        const std::string& stored_url = recorded->manifest_url;
        const std::string& stored_version = recorded->version;

        std::string installed;
        if (!read_app_version(install_dir, installed)) {
            log_tagged(kLogInfo, "load setup data: get_app_version failed");
        }
        // The application was updated since: its secondary modules follow the new manifest.
        if (!installed.empty() && installed != stored_version) {
            log_tagged(kLogInfo, "load setup data. the app had updated. new_vesion: %s, skip load.",
                       installed);
            return;
        }
        release_ = Release(stored_version, stored_url);
        log_tagged(kLogInfo, "load setup data. manifest_url:%s, version: %s", stored_url,
                   stored_version);
    } catch (const fs::filesystem_error& e) {
        log_tagged(kLogWarning, "load_setup_data  error: %d %s", sys::system_code(e.code()),
                   e.what());
    } catch (const std::exception& e) {
        log_tagged(kLogWarning, "load_setup_data  exception: %s", e.what());
    }
}

bool read_app_version(const fs::path& install_dir, std::string& version) {
    version.clear();
    const fs::path file = app_config_path(install_dir);
    if (!file_exists(file)) return false;
    const std::optional<std::string> text = sys::read_whole_file(file);
    if (!text) return false;
    const neb::CJsonObject config(*text);
    if (!config.error_text().empty()) return false;
    return config.get("gver", version);
}

std::string app_version(bool cached_only) {
    static std::string cache;
    if (cached_only || !cache.empty()) return cache;
    const fs::path root = suite_root_relative();
    if (!root.empty()) {
        if (const auto text = sys::read_whole_file(app_config_path(root))) {
            const auto config = nlohmann::json::parse(*text, nullptr, false);
            if (!config.is_discarded() && config.is_object()) {
                const auto gver = config.find("gver");
                if (gver != config.end() && gver->is_string()) {
                    cache = gver->get<std::string>();
                }
            }
        }
    }
    if (cache.empty()) cache = std::string(kDefaultVersion);
    return cache;
}

}  // namespace velora::st
