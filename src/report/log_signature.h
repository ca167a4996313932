#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The signature of a log-token request, shared by the report client (which signs) and the
// local log-collection service (which checks).

// The platform name the log-collection service knows this application by.
inline constexpr std::string_view kLogPlatform = "castmill-pc";

// MD5 (lowercase hex) of "castmill-pc-#-<version>-#-vantRix@<address>", cut at its first
// white-space character.
std::string signature_digest(std::string_view address, std::string_view version);

// The form body of a token request: "signature=<sig>&pf=castmill-pc&ver=<version>", sig being
// the AES-128-CBC base64 of "<digest>-#-<now_ms>" with app_id as key and app_secret as IV.
// Empty when the address, the version, app_id or app_secret is empty.
std::string make_signature(std::string_view address, std::string_view version,
                           std::string_view app_id, std::string_view app_secret, int64_t now_ms);

// Same, with the current time in milliseconds since 1970-01-01 UTC.
std::string make_signature(std::string_view address, std::string_view version,
                           std::string_view app_id, std::string_view app_secret);

// True when sig (the base64 text as sent) decrypts to "<digest>-#-<decimal ms>" with the
// digest of this address and version.
bool check_signature(std::string_view sig, std::string_view address, std::string_view version,
                     std::string_view app_id, std::string_view app_secret);
