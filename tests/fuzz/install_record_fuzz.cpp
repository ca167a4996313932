// install_record.json, what the last install wrote, kept in the suite's Update folder
// where anything may have changed it: it must load as a record of safe paths, and what is
// written back from it must load as the same record.

#include "fuzz_support.h"
#include "setup/download_planning.h"
#include "setup/install_record.h"

namespace {

using velora::st::InstallRecord;

bool same_record(const InstallRecord& a, const InstallRecord& b) {
    if (a.size() != b.size()) return false;
    for (const auto& [path, file] : a) {
        const auto other = b.find(path);
        if (other == b.end() || other->second.size != file.size ||
            other->second.modified != file.modified || other->second.hash != file.hash)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::filesystem::path install = castmill::fuzz::fresh_folder("install") / "Castmill";
    castmill::fuzz::write_file(velora::st::install_record_path(install),
                               castmill::fuzz::text_of(data, size));

    const InstallRecord first = velora::st::read_install_record(install);
    for (const auto& [path, file] : first) FUZZ_CHECK(velora::st::is_safe_manifest_path(path));

    FUZZ_CHECK(velora::st::write_install_record(install, first));
    FUZZ_CHECK(same_record(first, velora::st::read_install_record(install)));
    return 0;
}
