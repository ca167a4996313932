#include <windows.h>
#include <wininet.h>

#include <string>

#include "sys/proxy.h"

namespace velora::sys {
namespace {

constexpr DWORD kBufferBytes = 4096;

// The wide form of INTERNET_PROXY_INFO, which MinGW's headers do not name.
struct ProxyInfoW {
    DWORD dwAccessType;
    LPCWSTR lpszProxy;
    LPCWSTR lpszProxyBypass;
};

std::string narrow(const wchar_t* text) {
    if (text == nullptr || *text == L'\0') return {};
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) return {};
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
    out.resize(static_cast<size_t>(bytes) - 1);
    return out;
}

// A text option of the system's internet settings; empty when the query fails.
std::string query_text(DWORD option) {
    wchar_t buffer[kBufferBytes / sizeof(wchar_t)] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    if (!InternetQueryOptionW(nullptr, option, buffer, &size)) return {};
    return narrow(buffer);
}

}  // namespace

bool query_system_proxy(std::string& proxy, std::string& user, std::string& password) {
    proxy.clear();
    user.clear();
    password.clear();
    alignas(ProxyInfoW) unsigned char buffer[kBufferBytes] = {};
    DWORD size = sizeof(buffer);
    if (!InternetQueryOptionW(nullptr, INTERNET_OPTION_PROXY, buffer, &size)) return false;
    const auto* info = reinterpret_cast<const ProxyInfoW*>(buffer);
    if (info->dwAccessType == INTERNET_OPEN_TYPE_DIRECT) return false;
    proxy = narrow(info->lpszProxy);
    if (proxy.empty()) return false;
    user = query_text(INTERNET_OPTION_PROXY_USERNAME);
    password = query_text(INTERNET_OPTION_PROXY_PASSWORD);
    return true;
}

}  // namespace velora::sys
