#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// The smaller forms of a release's files: each file compressed, and zstd patches from the
// files of earlier releases.
namespace castmill::tools {

// An earlier release folder as publish wrote it: its manifest's entries by path.
struct PreviousRelease {
    std::filesystem::path dir;
    std::map<std::string, nlohmann::json> entries;
};

// Reads the manifests of earlier release folders. Throws std::runtime_error.
std::vector<PreviousRelease> read_previous_releases(const std::vector<std::filesystem::path>& dirs);

// Writes `out` as the zstd -19 form of `file` when that is smaller; returns its size, 0
// when none was written (the file does not compress).
uint64_t write_compressed(const std::filesystem::path& file, const std::filesystem::path& out);

// The patch from `from` to `to` (zstd -19 --patch-from with long-distance matching); empty
// when either cannot be read.
std::string make_patch(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace castmill::tools
