#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace castmill::tools {

#ifdef _WIN32
inline constexpr const char* kHostPlatform = "windows";
#else
inline constexpr const char* kHostPlatform = "linux";
#endif

struct ReleaseInput {
    std::filesystem::path source;  // folder of suite files
    std::string version;
    std::filesystem::path out;           // release folder; must not exist or be empty
    std::string manifest_url;            // absolute URL for the version answer; empty = relative
    std::filesystem::path full_package;  // optional full installer to include
    std::filesystem::path sign_key;      // secret key file (releasekey); empty = unsigned
    std::string release_time;            // signed releases: UTC time; empty = now
    int expires_days = 7;                // signed releases: the version answer's lifetime
    // Signed releases: what the documents are for; installers of another target refuse them.
    std::string product = "castmill";
    std::string platform = kHostPlatform;
    // Earlier release folders, oldest first; patches are made from the last previous_count.
    std::vector<std::filesystem::path> previous;
    size_t previous_count = 3;
    bool compress = true;  // write "<path>.zst" beside each file that shrinks
};

struct ReleaseSummary {
    size_t files = 0;
    uint64_t bytes = 0;
    size_t patches = 0;
    uint64_t patch_bytes = 0;
};

// Names the release folder itself uses beside the suite files.
inline constexpr const char* kManifestName = "manifest.json";
inline constexpr const char* kVersionAnswerName = "version.json";
inline constexpr const char* kPackageZipName = "Castmill_winUpdate.zip";
inline constexpr const char* kFullPackageName = "Castmill_full_package.exe";
// Where the file store serves the full installer.
inline constexpr const char* kFullPackagePath = "/files/apps/castmill/Castmill_full_package.exe";
// Detached signatures of a signed release, beside the documents they sign.
inline constexpr const char* kSignatureSuffix = ".sig";

// Writes the release: manifest, files under their paths, package zip, version answer and
// the optional full package. Throws std::runtime_error with a readable message.
ReleaseSummary write_release(const ReleaseInput& input);

// Gives a signed version answer a fresh expiry, `expires_days` from now, and signs it again
// (answer + ".sig"), nothing else of the release read. Refused unless its present signature
// is by the same key, so that only an answer the vendor made is renewed. Throws
// std::runtime_error.
void resign_version_answer(const std::filesystem::path& answer,
                           const std::filesystem::path& key_file, int expires_days);

// Writes file + ".sig": the signature of the file's exact bytes by the secret key in
// key_file. Throws std::runtime_error.
void sign_file(const std::filesystem::path& file, const std::filesystem::path& key_file);

}  // namespace castmill::tools
