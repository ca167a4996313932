#include "report/report_client.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "base/crypto.h"
#include "base/logger.h"
#include "base/result_codes.h"
#include "base/utf8_path.h"
#include "layout/defaults.h"
#include "layout/paths.h"
#include "net/http_helper.h"
#include "net/service_hosts.h"
#include "report/log_key.h"
#include "report/log_signature.h"
#include "setup/setup_data.h"
#include "sys/error_code.h"
#include "sys/folders.h"
#include "sys/machine_identity.h"
#include "sys/processes.h"

namespace fs = std::filesystem;

namespace {

using velora::sys::path_from_utf8;
using velora::sys::utf8_of;

constexpr const char* kEchoPath = "/api/biz/myip";
constexpr const char* kTokenPath = "/coll-log/genLogToken";
constexpr const char* kLogPath = "/coll-log/security/castmill/log";

// Transfer limits in seconds.
constexpr int kEchoTimeout = 4;
constexpr int kTokenTimeout = 10;
constexpr int kTextPostTimeout = 10;
constexpr int kFilePostTimeout = 300;

constexpr const char* kKeyFileName = "log.key";

std::string now_ms_text() {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return std::to_string(now.count());
}

std::string quoted(const fs::path& path) { return "\"" + utf8_of(path) + "\""; }

// Credentials read by init_from_key_file, kept for the process.
struct KeyCache {
    std::mutex lock;
    std::string version;
    std::string app_id;
    std::string app_secret;
};

KeyCache& key_cache() {
    static KeyCache cache;
    return cache;
}

}  // namespace

BlogReporter::BlogReporter() : defaults_(std::make_shared<PostParam>()) {
    defaults_->kind = 1;
    defaults_->platform = "windows";
    defaults_->language = "en";
    defaults_->pcid = velora::sys::get_pcid();
    ip_sources_.push_back(velora::st::web_host() + kEchoPath);
    token_url_ = velora::st::log_host() + kTokenPath;
    log_url_ = velora::st::log_host() + kLogPath;
}

BlogReporter::~BlogReporter() {
    // An orderly exit has called stop() already; otherwise do not hold the exit up.
    dropping_ = true;
    pool_.shutdown();
}

bool BlogReporter::init(const std::string& version, const std::string& email,
                        const std::string& app_id, const std::string& app_secret) {
    {
        std::lock_guard<std::mutex> guard(defaults_->mutex);
        defaults_->version = version;
        if (!email.empty()) defaults_->email = email;
    }
    {
        std::lock_guard<std::mutex> guard(credentials_lock_);
        app_id_ = app_id;
        app_secret_ = app_secret;
    }
    enabled_ = true;
    return true;
}

bool BlogReporter::init_from_key_file(const std::string& version, const std::string& email,
                                      std::string& error) {
    KeyCache& cache = key_cache();
    std::lock_guard<std::mutex> cache_guard(cache.lock);
    if (!version.empty()) cache.version = version;
    // Never empty afterwards: the installed version defaults to "1.0.0".
    if (cache.version.empty()) cache.version = velora::st::app_version(false);
    {
        // Reports carry the version the credentials are looked up for.
        std::lock_guard<std::mutex> guard(defaults_->mutex);
        defaults_->version = cache.version;
        if (!email.empty()) defaults_->email = email;
    }
    if (cache.app_id.empty()) {
        const fs::path folder = velora::st::report_key_fallback_dir();
        if (folder.empty()) {
            error = "[init_from_key_file] no suite found for the key file";
            return false;
        }
        std::string app_id;
        std::string app_secret;
        if (!init_log_key(folder / kKeyFileName, cache.version, app_id, app_secret, error)) {
            return false;
        }
        cache.app_id = app_id;
        cache.app_secret = app_secret;
    }
    {
        std::lock_guard<std::mutex> guard(credentials_lock_);
        app_id_ = cache.app_id;
        app_secret_ = cache.app_secret;
    }
    enabled_ = true;
    return true;
}

void BlogReporter::stop() { pool_.shutdown(); }

std::shared_ptr<PostParam> BlogReporter::copy_defaults() {
    auto param = std::make_shared<PostParam>();
    std::lock_guard<std::mutex> guard(defaults_->mutex);
    param->kind = defaults_->kind;
    param->platform = defaults_->platform;
    param->version = defaults_->version;
    param->language = defaults_->language;
    param->pcid = defaults_->pcid;
    param->ltoken = defaults_->ltoken;
    param->email = defaults_->email;
    param->accountId = defaults_->accountId;
    param->file = defaults_->file;
    param->text = defaults_->text;
    param->delete_after_upload = defaults_->delete_after_upload;
    return param;
}

void BlogReporter::report(const std::string& type, const std::string& log_no,
                          const std::string& text) {
    auto param = copy_defaults();
    param->type = type;
    param->logNo = log_no;
    param->text = text;
    enqueue(std::move(param));
}

void BlogReporter::report_file(const std::string& type, const std::string& log_no,
                               const fs::path& file) {
    auto param = copy_defaults();
    param->kind = 0;
    param->type = type;
    param->logNo = log_no;
    param->file = utf8_of(file);
    param->delete_after_upload = false;
    enqueue(std::move(param));
}

void BlogReporter::enqueue(std::shared_ptr<PostParam> param) {
    if (!enabled_ || pool_.is_stopped()) return;
    try {
        pool_.enqueue([this, param] { return post_task(param); });
    } catch (const std::runtime_error&) {
        // stop() won the race with the check above: the report is dropped as after stop().
    }
}

int BlogReporter::post_task(const std::shared_ptr<PostParam>& param) {
    if (dropping_) return -1;
    try {
        if (!prepare_post(*param)) return -1;
        const int result = post_log(*param);
        if (param->kind == 0 && param->delete_after_upload) {
            const fs::path archive = path_from_utf8(param->file);
            std::error_code ignored;
            fs::remove_all(archive, ignored);
            // The archive's own folder was made for it; remove() leaves a non-empty one.
            fs::remove(archive.parent_path(), ignored);
        }
        return result;
    } catch (const fs::filesystem_error& e) {
        log_tagged(kLogWarning, "[thread pool->post log]filesystem_error:%d %s",
                   velora::sys::system_code(e.code()), e.what());
    } catch (const std::exception& e) {
        log_tagged(kLogWarning, "[thread pool->post log]exception: %s", e.what());
    }
    return -1;
}

bool BlogReporter::prepare_post(PostParam& param) {
    if (param.ltoken.empty()) {
        const std::string token = get_post_token();
        if (!token.empty()) param.ltoken = token;
    }
    if (param.ltoken.empty()) {
        log_tagged(kLogWarning, "[report log]get post token faield");
        return false;
    }
    if (param.kind == 1) return true;
    try {
        if (param.file.empty()) return false;
        const fs::path input = path_from_utf8(param.file);
        if (!fs::exists(input)) return false;
        if (fs::is_regular_file(input) && input.extension() == ".zip") return true;
        fs::path archive;
        const int result = zip_for_upload(input, archive);
        if (result != 0) {
            log_tagged(kLogWarning, "[upload log] zip file failed: %d", result);
            std::error_code ignored;
            if (!archive.empty()) fs::remove_all(archive.parent_path(), ignored);
            return false;
        }
        param.file = utf8_of(archive);
        param.delete_after_upload = true;
        return true;
    } catch (const fs::filesystem_error& e) {
        log_tagged(kLogWarning, "[upload log] filesystem error: %d %s",
                   velora::sys::system_code(e.code()), e.what());
        return false;
    }
}

int BlogReporter::zip_for_upload(const fs::path& input, fs::path& archive) {
    const auto temp = velora::sys::temp_directory();
    if (!temp) return velora::kSetupFileSystemError;
    const fs::path archiver = velora::st::suite_archiver();
    // "logs/" names the folder "logs", as "logs" does.
    const fs::path name = input.has_filename() ? input : input.parent_path();
    fs::path stem = name.stem();
    stem += ".zip";
    archive = *temp / "upload_log" / random_token(16) / stem;
    fs::create_directories(archive.parent_path());
    // Every path is quoted: a suite or temporary folder may contain blanks.
    const std::string command = quoted(archiver) + " a " + quoted(archive) + " " + quoted(input);
    std::uint32_t exit_code = 0;
    const bool ran = velora::sys::execute_command_line(command, exit_code, true);
    return ran && exit_code == 0 ? 0 : velora::kArchiverFailed;
}

std::string BlogReporter::get_post_token() {
    std::string version;
    {
        std::lock_guard<std::mutex> guard(defaults_->mutex);
        if (!defaults_->ltoken.empty()) return defaults_->ltoken;
        version = defaults_->version;
    }
    {
        std::lock_guard<std::mutex> guard(credentials_lock_);
        if (version.empty() || app_id_.empty() || app_secret_.empty()) return {};
    }
    ip_cursor_ = -1;
    seen_ips_.clear();
    std::string address;
    while (next_address(address)) {
        const std::string body = make_signature(address, version);
        if (body.empty()) continue;
        std::string token;
        if (request_post_token(body, token) == 0 && !token.empty()) {
            std::lock_guard<std::mutex> guard(defaults_->mutex);
            defaults_->ltoken = token;
            return token;
        }
    }
    return {};
}

bool BlogReporter::next_address(std::string& address) {
    const HttpHelper http;
    while (++ip_cursor_ < static_cast<int>(ip_sources_.size())) {
        std::string answer;
        if (http.get_json(ip_sources_[static_cast<size_t>(ip_cursor_)], answer, {}, kEchoTimeout) !=
            CURLE_OK) {
            continue;
        }
        const auto root = nlohmann::json::parse(answer, nullptr, false);
        if (root.is_discarded() || !root.is_object()) continue;
        const auto code = root.find("code");
        if (code == root.end() || !code->is_number() || *code != 0) continue;
        const auto data = root.find("data");
        if (data == root.end() || !data->is_object()) continue;
        const auto cfip = data->find("cfip");
        if (cfip == data->end() || !cfip->is_string() || cfip->get<std::string>().empty()) {
            continue;
        }
        const std::string candidate = cfip->get<std::string>();
        if (!seen_ips_.insert(candidate).second) continue;
        address = candidate;
        return true;
    }
    return false;
}

std::string BlogReporter::make_signature(const std::string& address, const std::string& version) {
    std::lock_guard<std::mutex> guard(credentials_lock_);
    return ::make_signature(address, version, app_id_, app_secret_);
}

int BlogReporter::request_post_token(const std::string& body, std::string& token) {
    token.clear();
    std::string answer;
    const int result = HttpHelper().post_form(token_url_, body, answer, {}, kTokenTimeout);
    if (result != CURLE_OK) {
        log_tagged(kLogWarning, "[report log]post token failed. ret: %d", result);
        return result;
    }
    const auto root = nlohmann::json::parse(answer, nullptr, false);
    const bool accepted = !root.is_discarded() && root.is_object() && root.contains("result") &&
                          root["result"].is_boolean() && root["result"].get<bool>();
    if (accepted) {
        const auto data = root.find("data");
        if (data != root.end() && data->is_object()) {
            const auto ltoken = data->find("ltoken");
            if (ltoken != data->end() && ltoken->is_string()) token = ltoken->get<std::string>();
        }
        return 0;
    }
    log_tagged(kLogWarning, "[report log]post token resp\xEF\xBC\x9A %s", answer);
    return -1;
}

int BlogReporter::post_log(PostParam& param) {
    if ((param.kind == 1 && param.text.empty()) || (param.kind == 0 && param.file.empty())) {
        return -1;
    }
    std::vector<FormPart> parts;
    if (param.kind == 1)
        parts.push_back({"text", param.text});
    else
        parts.push_back({"file", param.file, true});
    parts.push_back({"logNo", param.logNo});
    parts.push_back({"type", param.type});
    parts.push_back({"platform", param.platform});
    parts.push_back({"time", now_ms_text()});
    parts.push_back({"version", param.version});
    parts.push_back({"language", param.language});
    parts.push_back({"pcid", param.pcid});
    {
        std::lock_guard<std::mutex> guard(param.mutex);
        parts.push_back({"email", param.email});
        parts.push_back({"accountId", param.accountId});
    }

    std::string answer;
    long status = 0;
    const int limit = param.kind == 1 ? kTextPostTimeout : kFilePostTimeout;
    const int result = HttpHelper().post_multipart(log_url_, parts, answer, status,
                                                   {"ltoken:" + param.ltoken}, limit);
    if (result != CURLE_OK) {
        // The log only: unattended runs own the console.
        log_tagged(kLogWarning, "curl_easy_perform() failed: %s",
                   curl_easy_strerror(static_cast<CURLcode>(result)));
        log_tagged(kLogWarning, "report log failed. log_no:%s, code:%d", param.logNo, result);
    } else if (status >= 400) {
        // The service's verdict does not change the result; it is kept for support.
        log_tagged(kLogWarning, "report log rejected. log_no:%s, status:%ld", param.logNo, status);
    }
    return result;
}

BlogReporter& blog_reporter() {
    static BlogReporter reporter;
    return reporter;
}

bool init_report(const std::string& version) {
    return init_report(blog_reporter(), version, velora::st::executable_directory());
}

bool init_report(BlogReporter& reporter, const std::string& version,
                 const fs::path& executable_dir) {
    try {
        fs::path key_file = executable_dir / "data" / kKeyFileName;
        if (!fs::exists(key_file)) {
            log_tagged(kLogWarning, "init_report key file missing. file: %s, retry get castmill",
                       key_file);
            const fs::path fallback = velora::st::report_key_fallback_dir();
            if (!fallback.empty()) key_file = fallback / kKeyFileName;
            if (!fs::exists(key_file)) {
                log_tagged(kLogWarning, "init_report key file missing. file: %s", key_file);
                return false;
            }
        }
        log_tagged(kLogInfo, "init_report key file: %s", key_file);

        std::string app_id;
        std::string app_secret;
        std::string error;
        const bool found = init_log_key(key_file, version, app_id, app_secret, error);
        if (!found) {
            log_tagged(kLogWarning, "parse_log_key_iv file: %d version: %s falied: %s",
                       static_cast<int>(found), version, error);
            const std::string fallback_version(velora::st::kDefaultVersion);
            if (!init_log_key(key_file, fallback_version, app_id, app_secret, error)) {
                return false;
            }
            log_tagged(kLogInfo, "try get version: 1.0.0 kv success");
        }
        return reporter.init(version, "", app_id, app_secret);
    } catch (const fs::filesystem_error& e) {
        log_tagged(kLogWarning, "init_report filesystem_error. %d %s",
                   velora::sys::system_code(e.code()), e.what());
    } catch (const std::exception& e) {
        log_tagged(kLogWarning, "init_report exception. %s", e.what());
    }
    return false;
}

namespace {

void queue_setup_report(const std::string& log_no, const std::string& msg) {
    std::printf("report no: %s msg: %s\n", log_no.c_str(), msg.c_str());
    blog_reporter().report("setup", log_no, msg);
}

// The engine's events as "setup" reports; the engine has logged them already.
class SetupReports final : public velora::st::EventSink {
public:
    bool start(const std::string& version) override { return init_report(version); }
    void event(const std::string& log_no, const std::string& text) override {
        queue_setup_report(log_no, text);
    }
};

}  // namespace

void report(const std::string& log_no, const std::string& msg) {
    log_tagged(kLogInfo, "log_no: %s msg: %s", log_no, msg);
    queue_setup_report(log_no, msg);
}

velora::st::EventSink& setup_reports() {
    static SetupReports reports;
    return reports;
}
