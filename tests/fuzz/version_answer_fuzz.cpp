// The update service's version answer. The first byte picks the build: odd, one that pins
// release keys (the answer's signature checked, so expiry and target are asked for); even,
// one that pins none. The rest is the answer.

#include <limits>

#include "base/release_signature.h"
#include "base/result_codes.h"
#include "fuzz_support.h"
#include "setup/release_trust.h"

namespace {

using velora::st::VersionAnswer;

bool same_answer(const VersionAnswer& a, const VersionAnswer& b) {
    return a.version == b.version && a.manifest_url == b.manifest_url &&
           a.full_package.path == b.full_package.path &&
           a.full_package.size == b.full_package.size &&
           a.full_package.sha256 == b.full_package.sha256;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool pinned = data[0] % 2 == 1;
    const std::string body = castmill::fuzz::text_of(data + 1, size - 1);
    static const int64_t now = velora::st::utc_seconds("2026-12-10T00:00:00Z");
    VersionAnswer answer;
    std::string message;
    const int result = velora::st::read_version_answer(body, pinned, now, answer, message);
    if (result != velora::kSetupOk) {
        FUZZ_CHECK(!message.empty());
        FUZZ_CHECK(result == velora::kSetupNotJson || result == velora::kSetupBadServerData ||
                   (pinned && (result == velora::kSetupReleaseExpired ||
                               result == velora::kSetupReleaseOtherTarget)));
        FUZZ_CHECK(answer.version.empty() && answer.manifest_url.empty() &&
                   !answer.full_package.named());
        return 0;
    }
    FUZZ_CHECK(!answer.version.empty() && !answer.manifest_url.empty());
    FUZZ_CHECK(pinned || answer.release_time.empty());
    if (answer.full_package.named()) {
        FUZZ_CHECK(!answer.full_package.path.empty() && answer.full_package.path[0] == '/');
        FUZZ_CHECK(answer.full_package.size >= 0);
        FUZZ_CHECK(is_sha256_text(answer.full_package.sha256));
    }

    VersionAnswer again;
    if (pinned) {
        // Taken at `now`, so it names an expiry; at the end of time every answer has lapsed.
        FUZZ_CHECK(velora::st::read_version_answer(body, true, std::numeric_limits<int64_t>::max(),
                                                   again, message) == velora::kSetupReleaseExpired);
    }
    // What a signing build takes, a build without keys takes the same way.
    FUZZ_CHECK(velora::st::read_version_answer(body, false, now, again, message) ==
               velora::kSetupOk);
    FUZZ_CHECK(same_answer(answer, again));
    return 0;
}
