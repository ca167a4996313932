#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "setup/run_values.h"

// What the last successful install wrote, kept in the Update folder so that later runs can
// trust unchanged files without reading them.
namespace velora::st {

inline constexpr const char* kInstallRecordName = "install_record.json";

std::filesystem::path install_record_path(const std::filesystem::path& install_dir);

// Empty when the record is missing or damaged: every file is then hashed.
InstallRecord read_install_record(const std::filesystem::path& install_dir);

// The release version the record names; empty when it names none or cannot be read.
std::string install_record_version(const std::filesystem::path& install_dir);

// Written to a temporary name and renamed, with the release version when one is given.
// False when it could not be written.
bool write_install_record(const std::filesystem::path& install_dir, const InstallRecord& record,
                          const std::string& version = {});

// What the record would say of a file now; nullopt when it cannot be read.
std::optional<RecordedFile> describe_file(const std::filesystem::path& file,
                                          const std::string& hash);

// Whether the file holds the entry's content: trusted without reading when the record
// names the same hash, size and modification time, else checked as a download would be.
bool holds_content(const std::filesystem::path& file, const FileEntry& entry,
                   const InstallRecord& record);

}  // namespace velora::st
