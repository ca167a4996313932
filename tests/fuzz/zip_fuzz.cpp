// Whole package archives (Castmill_winUpdate.zip) as the file store might hand them over,
// extracted the way the entire-package mode does. Whatever the archive says, nothing may
// appear outside the output folder.

#include <unzip.h>

#include "base/result_codes.h"
#include "fuzz_support.h"
#include "setup/entire_package.h"

namespace {

namespace fs = std::filesystem;

// Extraction writes what the archive declares, up to the declared sizes (minizip stops
// there); archives declaring more are left out to keep each run small.
constexpr uint64_t kMaxDeclaredBytes = 4 << 20;

bool declares_little(const fs::path& archive) {
    unzFile zip = unzOpen64(archive.c_str());
    if (zip == nullptr) return true;
    uint64_t total = 0;
    bool small = true;
    for (int r = unzGoToFirstFile(zip); r == UNZ_OK && small; r = unzGoToNextFile(zip)) {
        unz_file_info64 info{};
        if (unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
            break;
        total += info.uncompressed_size;
        small = info.uncompressed_size <= kMaxDeclaredBytes && total <= kMaxDeclaredBytes;
    }
    unzClose(zip);
    return small;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // root/package.zip beside root/a/b/out: an entry climbing out lands in root or in the
    // process's scratch folder above it, and both are watched.
    const fs::path& scratch = castmill::fuzz::scratch();
    const fs::path root = castmill::fuzz::fresh_folder("zip");
    const fs::path archive = root / "package.zip";
    const std::string bytes = castmill::fuzz::text_of(data, size);
    castmill::fuzz::write_file(archive, bytes);
    if (!declares_little(archive)) return 0;
    fs::create_directories(root / "a/b");
    const std::string before = castmill::fuzz::tree_listing(scratch);

    const int result = velora::st::unzip_package(archive, root / "a/b/out");
    FUZZ_CHECK(result == velora::kUnzipOk || result == velora::kUnzipMakeDirFailed ||
               result == velora::kUnzipOpenOutputFailed || result == velora::kUnzipReadFailed ||
               result == velora::kUnzipOpenArchiveFailed ||
               result == velora::kUnzipGlobalInfoFailed ||
               result == velora::kUnzipEntryInfoFailed || result == velora::kUnzipOpenEntryFailed ||
               result == velora::kUnzipUnsafeEntryName);

    // Everything new lies below out; the archive itself is unchanged.
    const std::string after = castmill::fuzz::tree_listing(scratch);
    std::string outside;
    for (size_t start = 0; start < after.size();) {
        const size_t end = after.find('\0', start);
        const std::string name = after.substr(start, end - start);
        start = end + 1;
        if (name == "zip/a/b/out" || name.starts_with("zip/a/b/out/")) continue;
        outside += name + '\0';
    }
    FUZZ_CHECK(outside == before);
    FUZZ_CHECK(castmill::fuzz::read_file(archive) == bytes);
    return 0;
}
