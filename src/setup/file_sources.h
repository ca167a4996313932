#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "setup/run_values.h"

namespace neb {
class CJsonObject;
}

// The smaller forms of a file the server may offer beside the file itself: the file
// compressed ("<filePath>.zst") and zstd patches from the content of earlier releases
// ("patches/<from-sha256>-<to-sha256>.zst"), listed per entry in the signed manifest.
namespace velora::st {

// Server folder of the patches, below the manifest's base URL.
inline constexpr const char* kPatchFolder = "patches";
// Suffix of the compressed file beside each file, and of every patch.
inline constexpr const char* kZstdSuffix = ".zst";

// Reads an entry's "compressedSize" and "patches". Members that are malformed are left
// out with a log line: the entry is still fetched whole.
FileSources read_file_sources(neb::CJsonObject& element, const std::string& file_path);

// "<from-sha256>-<to-sha256>.zst"
std::string patch_file_name(const FilePatch& patch, const std::string& to_sha256);

// The patch of the entry that the installed file can be patched from: the install record
// says the file is unchanged since it installed that patch's old content, or its digest
// is that content's.
std::optional<PatchBase> find_patch_base(const FileEntry& entry, const PlanSite& site);

// The fewest bytes a download of the entry may take: its patch, else its compressed file.
std::int64_t smallest_transfer(const FileEntry& entry, const std::optional<PatchBase>& base);

}  // namespace velora::st
