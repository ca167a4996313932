#include "file_patches.h"

#include <zstd.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

#include "setup/zstd_decode.h"

namespace castmill::tools {

namespace fs = std::filesystem;

namespace {

constexpr int kLevel = 19;
// A quick pass first: a file that does not shrink at this level is not tried at 19.
constexpr int kProbeLevel = 3;
// zstd's smallest window (ZSTD_WINDOWLOG_MIN, outside its stable interface).
constexpr int kWindowLogMin = 10;

struct CCtxFree {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

std::string read_all(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return {};
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int window_log_for(uint64_t bytes, int most) {
    int log = kWindowLogMin;
    while (log < most && (uint64_t{1} << log) < bytes) ++log;
    return log;
}

// Compresses `data` (with `prefix` as the content it may refer to) at `level`.
std::string compress(const std::string& data, const std::string& prefix, int level, int window_log,
                     bool long_matches) {
    std::unique_ptr<ZSTD_CCtx, CCtxFree> context(ZSTD_createCCtx());
    if (!context) throw std::runtime_error("zstd: no context");
    ZSTD_CCtx* cctx = context.get();
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, window_log);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
    if (long_matches) ZSTD_CCtx_setParameter(cctx, ZSTD_c_enableLongDistanceMatching, 1);
    if (!prefix.empty()) ZSTD_CCtx_refPrefix(cctx, prefix.data(), prefix.size());
    std::string out(ZSTD_compressBound(data.size()), '\0');
    const size_t n = ZSTD_compress2(cctx, out.data(), out.size(), data.data(), data.size());
    if (ZSTD_isError(n)) throw std::runtime_error(std::string("zstd: ") + ZSTD_getErrorName(n));
    out.resize(n);
    return out;
}

}  // namespace

std::vector<PreviousRelease> read_previous_releases(const std::vector<fs::path>& dirs) {
    std::vector<PreviousRelease> releases;
    for (const fs::path& dir : dirs) {
        const std::string text = read_all(dir / "manifest.json");
        const auto manifest = nlohmann::json::parse(text, nullptr, false);
        if (!manifest.is_object() || !manifest.contains("fileList") ||
            !manifest["fileList"].is_array())
            throw std::runtime_error("no manifest in earlier release " + dir.string());
        PreviousRelease release{dir, {}};
        for (const auto& entry : manifest["fileList"]) {
            if (entry.is_object() && entry.contains("filePath") && entry["filePath"].is_string())
                release.entries[entry["filePath"].get<std::string>()] = entry;
        }
        releases.push_back(std::move(release));
    }
    return releases;
}

uint64_t write_compressed(const fs::path& file, const fs::path& out) {
    const std::string data = read_all(file);
    if (data.empty()) return 0;
    const int window = window_log_for(data.size(), velora::st::kCompressedWindowLogMax);
    if (compress(data, {}, kProbeLevel, window, false).size() >= data.size()) return 0;
    const std::string packed = compress(data, {}, kLevel, window, false);
    if (packed.size() >= data.size()) return 0;
    std::ofstream stream(out, std::ios::binary | std::ios::trunc);
    stream.write(packed.data(), static_cast<std::streamsize>(packed.size()));
    stream.close();
    if (!stream) throw std::runtime_error("cannot write " + out.string());
    return packed.size();
}

std::string make_patch(const fs::path& from, const fs::path& to) {
    const std::string old = read_all(from);
    const std::string data = read_all(to);
    if (old.empty() || data.empty()) return {};
    // The window reaches from the end of the new file back to the start of the old one.
    const int window = window_log_for(old.size() + data.size(), velora::st::kPatchWindowLogMax);
    return compress(data, old, kLevel, window, true);
}

}  // namespace castmill::tools
