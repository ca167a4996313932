// downloaded.json, the record of finished downloads an earlier run left in the download
// folder: loaded, written back and loaded again, it must say the same.

#include "fuzz_support.h"
#include "setup/download_planning.h"
#include "setup/run_values.h"

namespace {

using velora::st::DownloadedRecord;
using velora::st::FileEntry;

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

    const DownloadedRecord first = DownloadedRecord::load(dir);
    for (const auto& [path, entry] : first.files()) FUZZ_CHECK(path == entry.filePath);

    first.save(dir);
    // Nothing recorded: the old file stays as it was.
    if (first.empty()) {
        FUZZ_CHECK(castmill::fuzz::read_file(record) == text);
        return 0;
    }
    FUZZ_CHECK(!std::filesystem::exists(dir / "downloaded.json.tmp"));
    const DownloadedRecord second = DownloadedRecord::load(dir);
    FUZZ_CHECK(same_record(first.files(), second.files()));
    return 0;
}
