#pragma once

#include <string>

namespace velora::sys {

// The operating system's proxy setting for internet requests. Returns true and fills
// the outputs when a proxy is configured; user and password are empty when the system
// holds none. On POSIX there is no system-wide setting to read: libcurl itself honours
// http_proxy, https_proxy and no_proxy, so this reports no proxy.
bool query_system_proxy(std::string& proxy, std::string& user, std::string& password);

}  // namespace velora::sys
