#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>

// Rules of the download folder and the manifest entries, shared by planning and the tests.
namespace velora::st {

// The record of finished downloads in the download directory.
inline constexpr const char* kDownloadRecordName = "downloaded.json";
// The package archive: "<name>.zip" on the server, "<name>_zip" in the download directory.
inline constexpr const char* kPackageName = "Castmill_winUpdate";

// Where a manifest's files are kept between runs: the ETag of the manifest response, else a
// digits-only folder of the manifest URL, else the clock and four random characters.
std::string download_directory_id(const std::map<std::string, std::string>& response_headers,
                                  const std::string& manifest_url);

// md5_hex of "<manifest_url>_<id>": one folder per manifest version.
std::string download_directory_name(const std::string& manifest_url, const std::string& id);

// The manifest URL up to (not including) its last "/"; empty when it has none.
std::string base_url_of(const std::string& manifest_url);

// The longest file name (one path component) the file systems of both platforms take:
// 255 bytes on POSIX, 255 UTF-16 units on Windows, which UTF-8 never has fewer bytes than.
inline constexpr size_t kMaxFileNameBytes = 255;

// A manifest filePath that stays inside the install directory: relative, no ".." or "."
// component, no empty component or one longer than a file name may be, no drive or stream
// colon, no NUL.
bool is_safe_manifest_path(std::string_view path);

// A manifest hash usable as a file name in the download directory: no separator, colon or
// NUL, not "." or "..", not longer than a file name may be, and none of the names the
// engine keeps there itself.
bool is_plain_file_name(std::string_view name);

// Exactly 32 hexadecimal digits: the hash then is the content's MD5 digest.
bool is_md5_text(std::string_view text);

}  // namespace velora::st
