#pragma once

#include <filesystem>
#include <map>
#include <string>

// The report key file "log.key": base64 of the AES-128-CBC encryption, under a fixed key
// and IV, of {"data": {"castmill-pc:<version>": {"appId": ..., "appSecrect": ...}, ...}}.

// The credentials of one application version.
struct LogKeyEntry {
    std::string app_id;
    std::string app_secret;
};

// The member of "data" that holds a version's credentials: "castmill-pc:<version>".
std::string log_key_entry_name(const std::string& version);

// Reads the credentials of `version` from the key file at path. False with error set to
// the reason when the file is missing, does not decrypt to a JSON object or lacks the
// version's entry.
bool init_log_key(const std::filesystem::path& path, const std::string& version,
                  std::string& app_id, std::string& app_secret, std::string& error);

// The key file's JSON document for credentials by version, before encryption.
std::string log_key_plaintext(const std::map<std::string, LogKeyEntry>& entries);

// The key file's text for credentials by version (the vendor's side of init_log_key).
std::string make_log_key(const std::map<std::string, LogKeyEntry>& entries);

// The key file's text for any plaintext, under the key file's own key and IV.
std::string encrypt_log_key_text(const std::string& plaintext);
