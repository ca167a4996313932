#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// What the engine trusts of a release: the pinned signing keys, the signature beside each
// piece of metadata, the limits on metadata, and the content digests of the manifest.
namespace neb {
class CJsonObject;
}

namespace velora::st {

struct FileEntry;
struct SignedFile;

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

}  // namespace velora::st
