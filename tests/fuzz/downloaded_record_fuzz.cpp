// downloaded.json, the record of finished downloads an earlier run left in the download
// folder: loaded, written back and loaded again, it must say the same.

#include "fuzz_support.h"
#include "setup/download_planning.h"
#include "setup/setup_center.h"

namespace {

using velora::st::FileEntry;
using velora::st::SetupCenter;

bool same_record(const std::map<std::string, FileEntry>& a,
                 const std::map<std::string, FileEntry>& b) {
    if (a.size() != b.size()) return false;
    for (const auto& [path, entry] : a) {
        const auto other = b.find(path);
        if (other == b.end() || other->second.filePath != entry.filePath ||
            other->second.hash != entry.hash || other->second.fileSize != entry.fileSize)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::filesystem::path dir = castmill::fuzz::fresh_folder("download");
    const std::filesystem::path record = dir / velora::st::kDownloadRecordName;
    const std::string text = castmill::fuzz::text_of(data, size);
    castmill::fuzz::write_file(record, text);

    SetupCenter first;
    first.download_dir = dir;
    first.load_downloaded_file();
    for (const auto& [path, entry] : first.downloaded_files) FUZZ_CHECK(path == entry.filePath);

    first.save_downloaded_file();
    // Nothing recorded: the old file stays as it was.
    if (first.downloaded_files.empty()) {
        FUZZ_CHECK(castmill::fuzz::read_file(record) == text);
        return 0;
    }
    FUZZ_CHECK(!std::filesystem::exists(dir / "downloaded.json.tmp"));
    SetupCenter second;
    second.download_dir = dir;
    second.load_downloaded_file();
    FUZZ_CHECK(same_record(first.downloaded_files, second.downloaded_files));
    return 0;
}
