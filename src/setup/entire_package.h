#pragma once

#include <filesystem>
#include <string>

namespace velora::st {

// Extracts every entry of the zip archive under out_dir. Returns an UnzipResult
// (0 also for an archive without entries). Entries whose names are absolute or leave
// out_dir are refused with kUnzipUnsafeEntryName before anything of theirs is written;
// an entry whose content does not match its CRC fails with kUnzipReadFailed.
int unzip_package(const std::filesystem::path& zip_path, const std::filesystem::path& out_dir);

// Whether an archive entry name stays inside the folder it is extracted to.
bool is_safe_entry_name(const std::string& name);

}  // namespace velora::st
