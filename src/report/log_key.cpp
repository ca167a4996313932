#include "report/log_key.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string_view>

#include "base/crypto.h"
#include "base/utf8_path.h"
#include "report/log_signature.h"

namespace {

constexpr std::string_view kLogKeyAesKey = "7f19c2e04ab58d36";
constexpr std::string_view kLogKeyAesIv = "c05e9a1f73b24d68";

}  // namespace

std::string log_key_entry_name(const std::string& version) {
    return std::string(kLogPlatform) + ":" + version;
}

bool init_log_key(const std::filesystem::path& path, const std::string& version,
                  std::string& app_id, std::string& app_secret, std::string& error) {
    try {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(path, ec)) {
            error = "[init_log_key] key file:" + velora::sys::utf8_of(path) + " not exist";
            return false;
        }
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        const std::string plain = aes_decrypt_base64(text.str(), kLogKeyAesKey, kLogKeyAesIv);

        nlohmann::json root;
        try {
            root = nlohmann::json::parse(plain);
        } catch (const nlohmann::json::parse_error& e) {
            error = e.what();
            return false;
        }
        if (!root.is_object()) {
            error = "[init_log_key]parse log key json failed";
            return false;
        }
        const std::string name = log_key_entry_name(version);
        const auto data = root.find("data");
        if (data == root.end() || !data->is_object() || !data->contains(name) ||
            !(*data)[name].is_object()) {
            error = "[init_log_key]" + name + " key missing";
            return false;
        }
        const nlohmann::json& entry = (*data)[name];
        // A member that is absent or not a string reads as empty, as the service expects.
        const auto text_of = [&entry](const char* member) {
            const auto it = entry.find(member);
            return it != entry.end() && it->is_string() ? it->get<std::string>() : std::string();
        };
        app_id = text_of("appId");
        app_secret = text_of("appSecrect");
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

std::string log_key_plaintext(const std::map<std::string, LogKeyEntry>& entries) {
    nlohmann::json data = nlohmann::json::object();
    for (const auto& [version, entry] : entries) {
        data[log_key_entry_name(version)] = {{"appId", entry.app_id},
                                             {"appSecrect", entry.app_secret}};
    }
    return nlohmann::json{{"data", data}}.dump();
}

std::string make_log_key(const std::map<std::string, LogKeyEntry>& entries) {
    return encrypt_log_key_text(log_key_plaintext(entries));
}

std::string encrypt_log_key_text(const std::string& plaintext) {
    return aes_encrypt_base64(plaintext, kLogKeyAesKey, kLogKeyAesIv);
}
