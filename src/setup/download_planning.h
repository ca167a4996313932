#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>

#include "setup/manifest_rules.h"

// Where a manifest's downloads are kept between runs.
namespace velora::st {

// Where a manifest's files are kept between runs: the ETag of the manifest response, else a
// digits-only folder of the manifest URL, else the clock and four random characters.
std::string download_directory_id(const std::map<std::string, std::string>& response_headers,
                                  const std::string& manifest_url);

// md5_hex of "<manifest_url>_<id>": one folder per manifest version.
std::string download_directory_name(const std::string& manifest_url, const std::string& id);

// The manifest URL up to (not including) its last "/"; empty when it has none.
std::string base_url_of(const std::string& manifest_url);

}  // namespace velora::st
