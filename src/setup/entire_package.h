#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "setup/run_values.h"

namespace velora::st {

// Extracts every entry of the zip archive under out_dir. Returns an UnzipResult
// (0 also for an archive without entries). Entries whose names are absolute or leave
// out_dir are refused with kUnzipUnsafeEntryName before anything of theirs is written;
// an entry whose content does not match its CRC fails with kUnzipReadFailed.
// With a listing (a signed manifest's), only the entries it lists are taken, each at most
// once and only when its declared size is the listed one, and none inflates past that size
// (kUnzipEntryNotListed, kUnzipEntryWrongSize): the output never outgrows the listed total.
// Entries are written by `workers` threads, each with its own handle on the archive; with
// `entries` (manifest path -> entry), each file's digests are taken as it is written and,
// where they match its entry, it is noted in `checked`, so that placing it needs no second
// read.
struct ExtractionChecks {
    const std::map<std::string, FileEntry>* entries = nullptr;
    CheckedDownloads* checked = nullptr;
    unsigned workers = 1;
};
int unzip_package(const std::filesystem::path& zip_path, const std::filesystem::path& out_dir,
                  const ArchiveListing* listing = nullptr, const ExtractionChecks& checks = {});

// Whether an archive entry name stays inside the folder it is extracted to.
bool is_safe_entry_name(const std::string& name);

}  // namespace velora::st
