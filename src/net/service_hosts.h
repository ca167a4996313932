#pragma once

#include <optional>
#include <string>

// Scheme, host and port of the remote services, each a build-time default. A test build
// (CASTMILL_ENV_OVERRIDES) lets tests, staging and the demo point them elsewhere at run time
// through CASTMILL_UPDATE_HOST, CASTMILL_DOWNLOAD_HOST, CASTMILL_LOG_HOST and
// CASTMILL_WEB_HOST, and trust another CA bundle through CASTMILL_CA_BUNDLE; a release build
// reads none of them. An empty variable counts as unset.
namespace velora::st {

std::string update_host();    // version check and manifest
std::string download_host();  // file store
std::string log_host();       // log-collection service
std::string web_host();       // application web service (address echo)

// The CA bundle file that replaces the system's trust store, if any.
std::optional<std::string> ca_bundle_override();

// Whether this build reads the variables above at all.
bool environment_overrides_allowed();

}  // namespace velora::st
