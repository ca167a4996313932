#pragma once

#include <string>

// Scheme, host and port of the remote services. Each has a build-time default and can
// be pointed elsewhere at run time (tests, staging, the demo) through its environment
// variable: CASTMILL_UPDATE_HOST, CASTMILL_DOWNLOAD_HOST, CASTMILL_LOG_HOST,
// CASTMILL_WEB_HOST. An empty variable counts as unset.
namespace velora::st {

std::string update_host();    // version check and manifest
std::string download_host();  // file store
std::string log_host();       // log-collection service
std::string web_host();       // application web service (address echo)

}  // namespace velora::st
