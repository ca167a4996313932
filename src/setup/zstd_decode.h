#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// Decoding of the release's zstd files: patches made against an earlier release's file, and
// files sent compressed. Output never grows past the size the manifest signs, and a decode
// that does not end in exactly that many bytes fails; what it wrote is the caller's to delete.
namespace velora::st {

// Patches may reference the old file across a window of up to 2 GiB.
inline constexpr int kPatchWindowLogMax = 31;
// Compressed files are made with at most a 8 MiB window; a larger one is refused, so that a
// hostile file cannot make the decoder allocate more.
inline constexpr int kCompressedWindowLogMax = 23;

// Decodes `patch` against the old file `base` into `out` (replaced), which must come to
// exactly `size` bytes. Both files are mapped, so the decoder itself needs little memory
// whatever their size. False with the reason in `why`.
bool decode_patch(const std::filesystem::path& base, const std::filesystem::path& patch,
                  const std::filesystem::path& out, std::int64_t size, std::string& why);

// Decodes a compressed file piece by piece as its bytes arrive.
class StreamDecoder {
public:
    StreamDecoder();
    ~StreamDecoder();
    StreamDecoder(const StreamDecoder&) = delete;
    StreamDecoder& operator=(const StreamDecoder&) = delete;

    // Starts afresh into `out` (replaced), which must come to `size` bytes.
    bool open(const std::filesystem::path& out, std::int64_t size);
    // False once the bytes do not decode, decode to more than `size` or cannot be written.
    bool feed(const void* data, size_t bytes);
    // Feeds the first `bytes` of `file` (what an earlier attempt received).
    bool feed_file(const std::filesystem::path& file, std::int64_t bytes);
    // True when the input ended with a whole frame, at exactly `size` bytes, all written.
    bool finish();
    const std::string& why() const { return why_; }

private:
    bool fail(std::string why);
    // One call of the decoder on `bytes` of input; `used` of them taken.
    bool step(const void* data, size_t bytes, size_t& used, bool& progressed);

    struct Context;
    std::unique_ptr<Context> context_;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> out_{nullptr, &std::fclose};
    std::vector<char> buffer_;
    std::int64_t size_ = 0;
    std::int64_t written_ = 0;
    bool frame_ended_ = true;
    bool failed_ = false;
    std::string why_;
};

}  // namespace velora::st
