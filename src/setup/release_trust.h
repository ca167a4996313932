#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "base/release_signature.h"
#include "setup/run_values.h"

// What the engine trusts of a release: the pinned signing keys, the signature beside each
// piece of metadata, the limits on metadata, and the content digests of the manifest.
namespace neb {
class CJsonObject;
}

namespace velora::st {

// The release public keys this build pins (base64 Ed25519 keys, the CMake cache variable
// CASTMILL_RELEASE_PUBLIC_KEY). Empty: the build takes unsigned releases. Compiled in
// only, never read from the environment or a file.
const std::vector<std::string>& pinned_release_keys();

// A version answer or manifest larger than this is refused before it is parsed.
inline constexpr int64_t kMaxMetadataBytes = 4 * 1024 * 1024;
// A signature file is one line of base64; anything much larger is not one.
inline constexpr int64_t kMaxSignatureBytes = 1024;

// Where the detached signature of the document at `url` lies: the same path with ".sig"
// appended, the query (if any) kept after it.
std::string signature_url_of(const std::string& url);

// True when one of the keys made `signature` over exactly `bytes`.
bool signed_by_any(std::string_view bytes, std::string_view signature,
                   const std::vector<std::string>& keys);

// Orders dotted version texts by their numeric parts ("1.10.0" > "1.9.2"; missing parts
// count as 0, a non-digit ends a part): negative, 0 or positive.
int compare_versions(std::string_view a, std::string_view b);

// Whether digests taken of some content match what the entry names (as content_matches).
bool digests_match(const ContentDigests& digests, const FileEntry& entry, std::string& mismatch);

// Checks a file against what the manifest says of its content: the MD5 when its hash is
// one, and the SHA-256 when the entry carries one. True with nothing to check. On a
// mismatch `mismatch` names the digest that differed and its value.
bool content_matches(const std::filesystem::path& file, const FileEntry& entry,
                     std::string& mismatch);

// Reads {"path" (optional), "fileSize", "sha256"} of a signed document's file. False when
// the size is missing or negative or the sha256 is not 64 hex digits.
bool read_signed_file(neb::CJsonObject& object, SignedFile& file);

// Whether the file has that sha256 (64 hex digits, any case).
bool has_sha256(const std::filesystem::path& file, const std::string& sha256);

// Seconds since 1970 of a "YYYY-MM-DDTHH:MM:SSZ" text, -1 when it is not one.
int64_t utc_seconds(const std::string& text);

// What a signed document is for: this build takes only releases of its own product and
// platform, so that a validly signed release of another suite or system cannot land here.
inline constexpr const char* kReleaseProduct = "castmill";
#ifdef _WIN32
inline constexpr const char* kReleasePlatform = "windows";
#else
inline constexpr const char* kReleasePlatform = "linux";
#endif

// kSetupOk when the document's "product" and "platform" are this build's; else
// kSetupReleaseOtherTarget with a message naming what the document (`what`) says.
int check_release_target(neb::CJsonObject& document, const char* what, std::string& message);

// The update service's answer, as the engine uses it.
struct VersionAnswer {
    std::string version;
    std::string manifest_url;
    std::string release_time;  // signed answers only; may be empty
    SignedFile full_package;   // not named() when the answer names none
};

// Reads the version answer. With `pinned` (a build that pins keys, so the body's signature
// was checked) it must also name this build's target and an expiry after `now` (seconds
// since 1970). A failure returns its code and the message; `answer` is then unset.
int read_version_answer(const std::string& body, bool pinned, int64_t now, VersionAnswer& answer,
                        std::string& message);

// The newest signed release this installation has taken, kept beside the install record so
// that an older signed release is refused even when the version files are gone.
struct AcceptedRelease {
    std::string version;       // empty: none
    std::string release_time;  // UTC text; may be empty
};

inline constexpr const char* kAcceptedReleaseName = "accepted_release.json";

std::filesystem::path accepted_release_path(const std::filesystem::path& install_dir);

// Nothing when the file is missing; a damaged file is logged and counts as missing, so
// that it cannot stop every later update (the version files still guard the downgrade).
AcceptedRelease read_accepted_release(const std::filesystem::path& install_dir);

// Written to a temporary name, flushed and renamed. False when the Update folder is missing;
// a failed write throws std::filesystem::filesystem_error.
bool write_accepted_release(const std::filesystem::path& install_dir,
                            const AcceptedRelease& release);

// Whether `release` is older than `than`: a lower version, or the same version released
// earlier (when both times are known).
bool is_older_release(const AcceptedRelease& release, const AcceptedRelease& than);

}  // namespace velora::st
