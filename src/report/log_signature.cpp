#include "report/log_signature.h"

#include <algorithm>
#include <cctype>
#include <chrono>

#include "base/crypto.h"

namespace {

constexpr std::string_view kSeparator = "-#-";

}  // namespace

std::string signature_digest(std::string_view address, std::string_view version) {
    std::string s1 = std::string(kLogPlatform) + std::string(kSeparator) + std::string(version) +
                     std::string(kSeparator) + "vantRix@" + std::string(address);
    const auto space =
        std::find_if(s1.begin(), s1.end(), [](unsigned char c) { return std::isspace(c) != 0; });
    s1.erase(space, s1.end());
    return md5_hex(s1);
}

std::string make_signature(std::string_view address, std::string_view version,
                           std::string_view app_id, std::string_view app_secret, int64_t now_ms) {
    if (address.empty() || version.empty() || app_id.empty() || app_secret.empty()) return {};
    const std::string s2 =
        signature_digest(address, version) + std::string(kSeparator) + std::to_string(now_ms);
    const std::string sig = aes_encrypt_base64(s2, app_id, app_secret);
    return "signature=" + sig + "&pf=" + std::string(kLogPlatform) + "&ver=" + std::string(version);
}

std::string make_signature(std::string_view address, std::string_view version,
                           std::string_view app_id, std::string_view app_secret) {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return make_signature(address, version, app_id, app_secret, now.count());
}

bool check_signature(std::string_view sig, std::string_view address, std::string_view version,
                     std::string_view app_id, std::string_view app_secret) {
    if (sig.empty() || address.empty() || version.empty() || app_id.empty() || app_secret.empty()) {
        return false;
    }
    const std::string s2 = aes_decrypt_base64(sig, app_id, app_secret);
    const auto sep = s2.rfind(kSeparator);
    if (sep == std::string::npos) return false;
    const std::string_view ms = std::string_view(s2).substr(sep + kSeparator.size());
    if (ms.empty() ||
        !std::all_of(ms.begin(), ms.end(), [](unsigned char c) { return std::isdigit(c); })) {
        return false;
    }
    return s2.substr(0, sep) == signature_digest(address, version);
}
