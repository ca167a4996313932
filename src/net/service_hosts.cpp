#include "net/service_hosts.h"

#include "sys/environment.h"

namespace velora::st {
namespace {

std::optional<std::string> from_environment(const char* variable) {
    if (!environment_overrides_allowed()) return std::nullopt;
    return sys::environment_variable(variable);
}

std::string host_from(const char* variable, const char* fallback) {
    return from_environment(variable).value_or(fallback);
}

}  // namespace

bool environment_overrides_allowed() { return CASTMILL_ENV_OVERRIDES != 0; }

std::string update_host() {
    return host_from("CASTMILL_UPDATE_HOST", CASTMILL_DEFAULT_UPDATE_HOST);
}

std::string download_host() {
    return host_from("CASTMILL_DOWNLOAD_HOST", CASTMILL_DEFAULT_DOWNLOAD_HOST);
}

std::string log_host() { return host_from("CASTMILL_LOG_HOST", CASTMILL_DEFAULT_LOG_HOST); }

std::string web_host() { return host_from("CASTMILL_WEB_HOST", CASTMILL_DEFAULT_WEB_HOST); }

std::optional<std::string> ca_bundle_override() { return from_environment("CASTMILL_CA_BUNDLE"); }

}  // namespace velora::st
