#include "log_service.h"

#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>
#include <string_view>

#include "base/crypto.h"
#include "report/log_signature.h"

namespace castmill::tools {

namespace {

// The token request's body is sent as written, base64 unescaped, so it is split by hand:
// decoding "+" as a blank would break the signature.
std::map<std::string, std::string> split_form(std::string_view body) {
    std::map<std::string, std::string> fields;
    while (!body.empty()) {
        const auto amp = body.find('&');
        const std::string_view pair = body.substr(0, amp);
        const auto eq = pair.find('=');
        if (eq != std::string_view::npos) {
            fields[std::string(pair.substr(0, eq))] = std::string(pair.substr(eq + 1));
        }
        if (amp == std::string_view::npos) break;
        body.remove_prefix(amp + 1);
    }
    return fields;
}

void answer_json(httplib::Response& res, int status, const nlohmann::json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

std::string new_token() {
    std::random_device rd;
    std::mt19937_64 gen((static_cast<uint64_t>(rd()) << 32) | rd());
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (int i = 0; i < 32; ++i) token += digits[gen() % 16];
    return token;
}

}  // namespace

void LogService::set_credentials(Credentials any_version) { any_version_ = std::move(any_version); }

void LogService::load_credentials(const std::filesystem::path& json_file) {
    std::ifstream in(json_file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read credentials " + json_file.string());
    nlohmann::json root;
    try {
        root = nlohmann::json::parse(in);
    } catch (const nlohmann::json::exception& e) {
        throw std::runtime_error("credentials " + json_file.string() + ": " + e.what());
    }
    const auto data = root.find("data");
    if (!root.is_object() || data == root.end() || !data->is_object()) {
        throw std::runtime_error("credentials " + json_file.string() + " lack \"data\"");
    }
    const std::string prefix = std::string(kLogPlatform) + ":";
    for (const auto& [name, entry] : data->items()) {
        if (name.rfind(prefix, 0) != 0 || !entry.is_object()) continue;
        const auto id = entry.find("appId");
        const auto secret = entry.find("appSecrect");
        if (id == entry.end() || secret == entry.end() || !id->is_string() ||
            !secret->is_string()) {
            throw std::runtime_error("credentials entry " + name + " lacks appId or appSecrect");
        }
        by_version_[name.substr(prefix.size())] =
            Credentials{id->get<std::string>(), secret->get<std::string>()};
    }
}

void LogService::open_reports(const std::filesystem::path& file) {
    reports_.open(file, std::ios::binary | std::ios::app);
    if (!reports_) throw std::runtime_error("cannot open reports file " + file.string());
}

const LogService::Credentials* LogService::credentials_for(const std::string& version) const {
    auto it = by_version_.find(version);
    if (it != by_version_.end()) return &it->second;
    if (!any_version_.app_id.empty()) return &any_version_;
    return nullptr;
}

std::string LogService::address_of(const httplib::Request& req) const {
    return echo_address_.empty() ? req.remote_addr : echo_address_;
}

void LogService::echo(const httplib::Request& req, httplib::Response& res) const {
    answer_json(res, 200, {{"code", 0}, {"data", {{"cfip", address_of(req)}}}});
}

void LogService::token(const httplib::Request& req, httplib::Response& res) {
    auto fields = split_form(req.body);
    const std::string& version = fields["ver"];
    if (fields["pf"] != kLogPlatform || version.empty()) {
        answer_json(res, 200, {{"result", false}, {"msg", "unknown platform or version"}});
        return;
    }
    const Credentials* creds = credentials_for(version);
    if (!creds) {
        answer_json(res, 200, {{"result", false}, {"msg", "no application for this version"}});
        return;
    }
    if (!check_signature(fields["signature"], address_of(req), version, creds->app_id,
                         creds->app_secret)) {
        answer_json(res, 200, {{"result", false}, {"msg", "signature invalid"}});
        return;
    }
    const std::string token = new_token();
    {
        std::lock_guard<std::mutex> guard(lock_);
        tokens_.insert(token);
    }
    answer_json(res, 200, {{"result", true}, {"data", {{"ltoken", token}}}});
}

void LogService::log(const httplib::Request& req, httplib::Response& res) {
    const std::string token = req.get_header_value("ltoken");
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (token.empty() || tokens_.count(token) == 0) {
            answer_json(res, 401, {{"result", false}, {"msg", "invalid token"}});
            return;
        }
    }
    if (!req.is_multipart_form_data()) {
        answer_json(res, 400, {{"result", false}, {"msg", "multipart form expected"}});
        return;
    }
    nlohmann::json fields = nlohmann::json::object();
    nlohmann::json files = nlohmann::json::object();
    for (const auto& [name, part] : req.files) {
        if (part.filename.empty()) {
            fields[name] = part.content;
        } else {
            files[name] = {{"filename", part.filename},
                           {"size", part.content.size()},
                           {"md5", md5_hex(part.content)}};
        }
    }
    const nlohmann::json line{{"ltoken", token}, {"fields", fields}, {"files", files}};
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (reports_.is_open()) {
            reports_ << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
            reports_.flush();
        }
    }
    answer_json(res, 200, {{"result", true}});
}

}  // namespace castmill::tools
