// The manifest: the update service's list of files, planned against the download folder
// of an earlier run. The first byte is the module selection, the rest the manifest.

#include <algorithm>

#include "base/result_codes.h"
#include "fuzz_support.h"
#include "layout/modules.h"
#include "setup/download_planning.h"
#include "setup/setup_center.h"

namespace {

using velora::st::FileEntry;
using velora::st::SetupCenter;

// Two files fetched before, one of them recorded as complete.
std::filesystem::path earlier_download_folder() {
    const std::filesystem::path dir = castmill::fuzz::fresh_folder("download");
    castmill::fuzz::write_file(dir / "a", "a");
    castmill::fuzz::write_file(dir / "b", "bbb");
    castmill::fuzz::write_file(
        dir / velora::st::kDownloadRecordName,
        R"({"fileList": [{"filePath": "Connect/a.dll", "fileSize": 1, "hash": "a"}]})");
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    SetupCenter center;
    const int modules = data[0] % 8 == 0 ? 7 : data[0] % 8;
    center.set_target({.modules = modules});
    center.use_download_dir(earlier_download_folder());
    std::string message;
    const int result = center.plan_manifest(castmill::fuzz::text_of(data + 1, size - 1), message);
    if (result != velora::kSetupOk) {
        FUZZ_CHECK(!message.empty());
        FUZZ_CHECK(result == velora::kSetupNotJson || result == velora::kSetupBadServerData);
        FUZZ_CHECK(center.plan().install_lists.empty() && center.plan().queue.empty());
        return 0;
    }

    const velora::st::DownloadPlan& plan = center.plan();
    int64_t planned_bytes = 0;
    for (const auto& [module, list] : plan.install_lists) {
        FUZZ_CHECK(module != 0 && (module & modules) == module);
        for (const FileEntry& entry : list) {
            FUZZ_CHECK(velora::st::module_of_path(entry.filePath) == module);
            FUZZ_CHECK(velora::st::is_safe_manifest_path(entry.filePath));
            FUZZ_CHECK(velora::st::is_plain_file_name(entry.hash));
            FUZZ_CHECK(entry.fileSize >= 0);
            planned_bytes += entry.fileSize;
        }
    }
    for (const FileEntry& queued : plan.queue) {
        FUZZ_CHECK(plan.install_lists.count(velora::st::module_of_path(queued.filePath)));
        FUZZ_CHECK(plan.twins.count(queued.hash));
    }
    FUZZ_CHECK(plan.reusable.empty() && plan.stale.empty() && plan.adopted.empty());
    FUZZ_CHECK(plan.total_bytes == planned_bytes);
    FUZZ_CHECK(plan.present_bytes >= 0);
    FUZZ_CHECK(plan.remaining_bytes() >= 0 && plan.remaining_bytes() <= plan.total_bytes);
    FUZZ_CHECK(plan.remaining_bytes() ==
               std::max<int64_t>(0, plan.total_bytes - plan.present_bytes));
    return 0;
}
