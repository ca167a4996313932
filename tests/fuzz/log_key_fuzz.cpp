// The report key file "log.key". The first byte chooses whether the rest is the file's
// text as it lies on disk, or the JSON inside it, which is then encrypted the way the
// vendor's tool does, so that the fuzzer reaches the document's checks.

#include <fstream>

#include "fuzz_support.h"
#include "report/log_key.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string rest = castmill::fuzz::text_of(data + 1, size - 1);
    const std::string text = data[0] & 1 ? encrypt_log_key_text(rest) : rest;
    const std::filesystem::path file = castmill::fuzz::scratch() / "log.key";
    castmill::fuzz::write_file(file, text);

    for (const char* version : {"1.0.0", "2.0.0", ""}) {
        std::string app_id = "unchanged";
        std::string app_secret = "unchanged";
        std::string error;
        const bool found = init_log_key(file, version, app_id, app_secret, error);
        // Either credentials or a reason, never both and never neither.
        FUZZ_CHECK(found == error.empty());
        if (!found) {
            FUZZ_CHECK(app_id == "unchanged" && app_secret == "unchanged");
            continue;
        }
        // What was read is what the vendor's tool writes back for the same version.
        std::string id_again;
        std::string secret_again;
        castmill::fuzz::write_file(file, make_log_key({{version, {app_id, app_secret}}}));
        FUZZ_CHECK(init_log_key(file, version, id_again, secret_again, error));
        FUZZ_CHECK(id_again == app_id && secret_again == app_secret);
        castmill::fuzz::write_file(file, text);
    }
    return 0;
}
