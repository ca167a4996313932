#pragma once

#include <cstddef>
#include <string_view>

// Names of the download folder and rules for the names a manifest gives its entries: the
// lowest unit of the engine, which every unit that reads or writes those names includes.
namespace velora::st {

// The record of finished downloads in the download directory.
inline constexpr const char* kDownloadRecordName = "downloaded.json";
// The package archive: "<name>.zip" on the server, "<name>_zip" in the download directory.
inline constexpr const char* kPackageName = "Castmill_winUpdate";
// Folder of the download directory where patches and compressed files arrive and are
// decoded; only a checked result leaves it, under the entry's hash.
inline constexpr const char* kSourcesFolder = "sources";

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
