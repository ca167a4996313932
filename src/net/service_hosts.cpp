#include "net/service_hosts.h"

#include "sys/environment.h"

namespace velora::st {
namespace {

std::string host_from(const char* variable, const char* fallback) {
    return sys::environment_variable(variable).value_or(fallback);
}

}  // namespace

std::string update_host() {
    return host_from("CASTMILL_UPDATE_HOST", CASTMILL_DEFAULT_UPDATE_HOST);
}

std::string download_host() {
    return host_from("CASTMILL_DOWNLOAD_HOST", CASTMILL_DEFAULT_DOWNLOAD_HOST);
}

std::string log_host() { return host_from("CASTMILL_LOG_HOST", CASTMILL_DEFAULT_LOG_HOST); }

std::string web_host() { return host_from("CASTMILL_WEB_HOST", CASTMILL_DEFAULT_WEB_HOST); }

}  // namespace velora::st
