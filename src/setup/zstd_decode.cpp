#include "setup/zstd_decode.h"

// ZSTD_d_stableOutBuffer: decoding straight into the mapped new file, with no window buffer.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>

#include "base/utf8_path.h"
#include "sys/mapped_file.h"

namespace velora::st {

namespace fs = std::filesystem;

namespace {

// Resident pages of both mappings are let go after this much output.
constexpr std::int64_t kReleaseEveryBytes = 8 * 1024 * 1024;

struct DCtxFree {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};
using DCtxPtr = std::unique_ptr<ZSTD_DCtx, DCtxFree>;

std::string zstd_error(size_t code) { return std::string("zstd: ") + ZSTD_getErrorName(code); }

}  // namespace

bool decode_patch(const fs::path& base, const fs::path& patch, const fs::path& out,
                  std::int64_t size, std::string& why) {
    sys::MappedFile old;
    if (const int code = old.open_read(base)) {
        why = "old file unreadable: " + std::to_string(code);
        return false;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(sys::open_file(patch, "rb"), &std::fclose);
    if (!in) {
        why = "patch unreadable";
        return false;
    }
    sys::MappedFile target;
    if (const int code = target.create(out, size)) {
        why = "cannot make the new file: " + std::to_string(code);
        return false;
    }
    DCtxPtr context(ZSTD_createDCtx());
    if (!context) {
        why = "zstd: no context";
        return false;
    }
    ZSTD_DCtx* dctx = context.get();
    for (size_t r : {ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, kPatchWindowLogMax),
                     ZSTD_DCtx_setParameter(dctx, ZSTD_d_stableOutBuffer, 1),
                     ZSTD_DCtx_refPrefix(dctx, old.data(), static_cast<size_t>(old.size()))}) {
        if (ZSTD_isError(r)) {
            why = zstd_error(r);
            return false;
        }
    }
    std::vector<char> chunk(ZSTD_DStreamInSize());
    ZSTD_outBuffer output{target.data(), static_cast<size_t>(size), 0};
    std::int64_t released_at = 0;
    bool ended = false;
    while (true) {
        const size_t got = std::fread(chunk.data(), 1, chunk.size(), in.get());
        if (got == 0) break;
        if (ended) {
            why = "data after the patch";
            return false;
        }
        ZSTD_inBuffer input{chunk.data(), got, 0};
        while (input.pos < input.size) {
            const size_t before_in = input.pos;
            const size_t before_out = output.pos;
            const size_t r = ZSTD_decompressStream(dctx, &output, &input);
            if (ZSTD_isError(r)) {
                why = zstd_error(r);
                return false;
            }
            if (r == 0) {
                ended = true;
                if (input.pos < input.size) {
                    why = "data after the patch";
                    return false;
                }
                break;
            }
            // A full output that the patch wants to grow: more than the signed size.
            if (input.pos == before_in && output.pos == before_out) {
                why = "patch decodes to more than " + std::to_string(size) + " bytes";
                return false;
            }
            if (static_cast<std::int64_t>(output.pos) - released_at >= kReleaseEveryBytes) {
                old.release_pages();
                target.release_pages();
                released_at = static_cast<std::int64_t>(output.pos);
            }
        }
    }
    if (std::ferror(in.get())) {
        why = "patch unreadable";
        return false;
    }
    if (!ended) {
        why = "patch cut short";
        return false;
    }
    if (static_cast<std::int64_t>(output.pos) != size) {
        why = "patch decodes to " + std::to_string(output.pos) + " bytes, not " +
              std::to_string(size);
        return false;
    }
    if (const int code = target.flush()) {
        why = "cannot write the new file: " + std::to_string(code);
        return false;
    }
    return true;
}

struct StreamDecoder::Context {
    DCtxPtr dctx{ZSTD_createDCtx()};
};

StreamDecoder::StreamDecoder() : context_(std::make_unique<Context>()) {}
StreamDecoder::~StreamDecoder() = default;

bool StreamDecoder::fail(std::string why) {
    failed_ = true;
    why_ = std::move(why);
    return false;
}

bool StreamDecoder::open(const fs::path& out, std::int64_t size) {
    out_.reset(sys::open_file(out, "wb"));
    size_ = size;
    written_ = 0;
    frame_ended_ = true;
    failed_ = false;
    why_.clear();
    if (!out_) return fail("cannot make the new file");
    ZSTD_DCtx* dctx = context_->dctx.get();
    if (!dctx) return fail("zstd: no context");
    ZSTD_DCtx_reset(dctx, ZSTD_reset_session_and_parameters);
    const size_t r = ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, kCompressedWindowLogMax);
    if (ZSTD_isError(r)) return fail(zstd_error(r));
    buffer_.resize(ZSTD_DStreamOutSize());
    return true;
}

bool StreamDecoder::step(const void* data, size_t bytes, size_t& used, bool& progressed) {
    ZSTD_inBuffer input{data, bytes, 0};
    ZSTD_outBuffer output{buffer_.data(), buffer_.size(), 0};
    const size_t r = ZSTD_decompressStream(context_->dctx.get(), &output, &input);
    if (ZSTD_isError(r)) return fail(zstd_error(r));
    frame_ended_ = r == 0;
    used = input.pos;
    progressed = input.pos > 0 || output.pos > 0;
    if (static_cast<std::int64_t>(output.pos) > size_ - written_)
        return fail("decodes to more than " + std::to_string(size_) + " bytes");
    if (std::fwrite(buffer_.data(), 1, output.pos, out_.get()) != output.pos)
        return fail("cannot write the new file");
    written_ += static_cast<std::int64_t>(output.pos);
    return true;
}

bool StreamDecoder::feed(const void* data, size_t bytes) {
    if (failed_ || !out_) return false;
    const char* at = static_cast<const char*>(data);
    while (bytes > 0) {
        size_t used = 0;
        bool progressed = false;
        if (!step(at, bytes, used, progressed)) return false;
        if (!progressed) return fail("zstd: no progress");
        at += used;
        bytes -= used;
    }
    return true;
}

bool StreamDecoder::feed_file(const fs::path& file, std::int64_t bytes) {
    if (bytes <= 0) return !failed_;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(sys::open_file(file, "rb"), &std::fclose);
    if (!in) return fail("cannot read what arrived");
    std::vector<char> chunk(ZSTD_DStreamInSize());
    while (bytes > 0) {
        const size_t want = static_cast<size_t>(std::min<std::int64_t>(bytes, chunk.size()));
        const size_t got = std::fread(chunk.data(), 1, want, in.get());
        if (got != want) return fail("cannot read what arrived");
        if (!feed(chunk.data(), got)) return false;
        bytes -= static_cast<std::int64_t>(got);
    }
    return true;
}

bool StreamDecoder::finish() {
    if (failed_ || !out_) return false;
    // A frame's last block may still sit in the decoder: drain it.
    while (!frame_ended_) {
        size_t used = 0;
        bool progressed = false;
        if (!step(nullptr, 0, used, progressed)) return false;
        if (!progressed && !frame_ended_) return fail("compressed file cut short");
    }
    const bool closed = std::fclose(out_.release()) == 0;
    if (!closed) return fail("cannot write the new file");
    if (written_ != size_)
        return fail("decodes to " + std::to_string(written_) + " bytes, not " +
                    std::to_string(size_));
    return true;
}

}  // namespace velora::st
