// Update/setup.data, the manifest and version the last application install left for an
// update of secondary modules, and Update/config.json beside it. The first byte says
// whether the rest is setup.data or config.json (then setup.data is a valid one).

#include "fuzz_support.h"
#include "setup/setup_center.h"
#include "setup/setup_data.h"

namespace {

using velora::st::SetupCenter;

constexpr const char* kUrl = "http://127.0.0.1/r/manifest.json";
constexpr const char* kVersion = "2.0.0";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::filesystem::path install = castmill::fuzz::fresh_folder("Castmill");
    const std::string text = castmill::fuzz::text_of(data + 1, size - 1);
    const bool is_config = data[0] & 1;
    if (is_config) {
        castmill::fuzz::write_file(velora::st::app_config_path(install), text);
        SetupCenter writer;
        writer.set_target({.install_dir = install});
        writer.set_release(velora::st::Release(kVersion, kUrl));
        writer.save_setup_data();
    } else {
        castmill::fuzz::write_file(velora::st::setup_data_path(install), text);
    }

    SetupCenter center;
    center.set_target({.install_dir = install});
    center.load_setup_data();
    std::string installed;
    const bool has_version = velora::st::read_app_version(install, installed);
    FUZZ_CHECK(has_version || installed.empty());
    if (center.release().manifest_url().empty()) {
        FUZZ_CHECK(center.release().version().empty());
        // A valid record is refused only for an application updated since.
        if (is_config) FUZZ_CHECK(!installed.empty() && installed != kVersion);
        return 0;
    }
    // Taken only with its signature, and only while the application is the one recorded.
    FUZZ_CHECK(installed.empty() || installed == center.release().version());
    if (is_config)
        FUZZ_CHECK(center.release().manifest_url() == kUrl &&
                   center.release().version() == kVersion);

    // What was taken is written back whole.
    const std::string url = center.release().manifest_url();
    const std::string version = center.release().version();
    center.save_setup_data();
    SetupCenter again;
    again.set_target({.install_dir = install});
    again.load_setup_data();
    FUZZ_CHECK(again.release().manifest_url() == url && again.release().version() == version);
    return 0;
}
