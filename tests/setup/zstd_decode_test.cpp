#include "setup/zstd_decode.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <string>

#include "support/test_env.h"

namespace castmill::test {
namespace {

namespace fs = std::filesystem;
using velora::st::decode_patch;
using velora::st::StreamDecoder;

std::string compressed(const std::string& data, const std::string& prefix = {}) {
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    if (!prefix.empty()) ZSTD_CCtx_refPrefix(cctx, prefix.data(), prefix.size());
    std::string out(ZSTD_compressBound(data.size()), '\0');
    out.resize(ZSTD_compress2(cctx, out.data(), out.size(), data.data(), data.size()));
    ZSTD_freeCCtx(cctx);
    return out;
}

std::string sample(size_t size, unsigned seed) {
    std::string text;
    for (size_t i = 0; text.size() < size; ++i) text += std::to_string(i * seed % 9973) + ",";
    return text.substr(0, size);
}

TEST(ZstdDecode, APatchDecodesOnlyToExactlyTheSignedSize) {
    TempDir dir;
    const std::string old = sample(200000, 7);
    const std::string now = sample(200000, 7).replace(5000, 5, "XXXXX") + "tail";
    write_file(dir.path() / "old", old);
    write_file(dir.path() / "patch", compressed(now, old));
    std::string why;
    const auto size = static_cast<int64_t>(now.size());
    ASSERT_TRUE(
        decode_patch(dir.path() / "old", dir.path() / "patch", dir.path() / "out", size, why))
        << why;
    EXPECT_EQ(read_file(dir.path() / "out"), now);
    EXPECT_FALSE(
        decode_patch(dir.path() / "old", dir.path() / "patch", dir.path() / "out", size - 1, why));
    EXPECT_FALSE(
        decode_patch(dir.path() / "old", dir.path() / "patch", dir.path() / "out", size + 1, why));
}

TEST(ZstdDecode, AStreamDecodesInAnyPiecesButNotPastItsSize) {
    TempDir dir;
    const std::string data = sample(300000, 13);
    const std::string packed = compressed(data);
    const fs::path out = dir.path() / "out";
    StreamDecoder decoder;
    ASSERT_TRUE(decoder.open(out, static_cast<int64_t>(data.size())));
    for (size_t at = 0; at < packed.size(); at += 777)
        ASSERT_TRUE(decoder.feed(packed.data() + at, std::min<size_t>(777, packed.size() - at)));
    ASSERT_TRUE(decoder.finish()) << decoder.why();
    EXPECT_EQ(read_file(out), data);

    ASSERT_TRUE(decoder.open(out, static_cast<int64_t>(data.size()) - 1));
    EXPECT_FALSE(decoder.feed(packed.data(), packed.size()) && decoder.finish());
    ASSERT_TRUE(decoder.open(out, static_cast<int64_t>(data.size())));
    EXPECT_FALSE(decoder.feed(packed.data(), packed.size() - 10) && decoder.finish());
}

}  // namespace
}  // namespace castmill::test
