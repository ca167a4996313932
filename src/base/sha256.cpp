#include "base/sha256.h"

#include <sodium.h>

#include <cstring>

#include "base/block_feed.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define CASTMILL_SHA_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

#ifdef CASTMILL_SHA_X86

// Four rounds per step with the SHA extensions; the message schedule of later steps is
// computed in the same steps (sha256msg1/msg2), four words per vector.
__attribute__((target("sha,sse4.1,ssse3"))) void transform_extensions(uint32_t* state,
                                                                      const uint8_t* block,
                                                                      size_t count) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    // The instructions keep the state as (a, b, e, f) and (c, d, g, h).
    __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
    __m128i state1 =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);

    for (; count > 0; --count, block += 64) {
        const __m128i abef = state0;
        const __m128i cdgh = state1;
        __m128i w[4];
        for (int i = 0; i < 16; ++i) {
            if (i < 4)
                w[i] = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i)), byte_swap);
            __m128i message = _mm_add_epi32(
                w[i % 4], _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * i)));
            state1 = _mm_sha256rnds2_epu32(state1, state0, message);
            if (i >= 3 && i <= 14) {
                __m128i& next = w[(i + 1) % 4];
                next = _mm_add_epi32(next, _mm_alignr_epi8(w[i % 4], w[(i + 3) % 4], 4));
                next = _mm_sha256msg2_epu32(next, w[i % 4]);
            }
            message = _mm_shuffle_epi32(message, 0x0E);
            state0 = _mm_sha256rnds2_epu32(state0, state1, message);
            if (i >= 1 && i <= 12) w[(i + 3) % 4] = _mm_sha256msg1_epu32(w[(i + 3) % 4], w[i % 4]);
        }
        state0 = _mm_add_epi32(state0, abef);
        state1 = _mm_add_epi32(state1, cdgh);
    }

    tmp = _mm_shuffle_epi32(state0, 0x1B);
    state1 = _mm_shuffle_epi32(state1, 0xB1);
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);
    state1 = _mm_alignr_epi8(state1, tmp, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), state1);
}

#endif

}  // namespace

bool Sha256::processor_has_extensions() {
#ifdef CASTMILL_SHA_X86
    static const bool has = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
        const bool sse = (c & bit_SSSE3) && (c & bit_SSE4_1);
        if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
        return sse && (b & bit_SHA);
    }();
    return has;
#else
    return false;
#endif
}

static_assert(sizeof(crypto_hash_sha256_state) <= sizeof(Sha256::PortableState));

namespace {

crypto_hash_sha256_state* portable(Sha256::PortableState& state) {
    return reinterpret_cast<crypto_hash_sha256_state*>(state.bytes);
}

constexpr uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

}  // namespace

Sha256::Sha256(bool allow_extensions)
    : extensions_(allow_extensions && processor_has_extensions()) {
    reset();
}

void Sha256::reset() {
    std::memcpy(state_, kInitial, sizeof state_);
    length_ = 0;
    buffered_ = 0;
    if (!extensions_) crypto_hash_sha256_init(portable(portable_));
}

void Sha256::transform(const uint8_t* blocks, size_t count) {
#ifdef CASTMILL_SHA_X86
    if (count > 0) transform_extensions(state_, blocks, count);
#else
    (void)blocks;
    (void)count;
#endif
}

void Sha256::update(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (!extensions_) {
        crypto_hash_sha256_update(portable(portable_), bytes, size);
        return;
    }
    length_ += size;
    feed_blocks(buffer_, buffered_, bytes, size,
                [this](const uint8_t* blocks, size_t count) { transform(blocks, count); });
}

std::array<uint8_t, 32> Sha256::digest() {
    std::array<uint8_t, 32> out{};
    if (!extensions_) {
        crypto_hash_sha256_final(portable(portable_), out.data());
        reset();
        return out;
    }
    const uint64_t bit_length = length_ * 8;
    uint8_t padding[72] = {0x80};
    const size_t pad = (buffered_ < 56 ? 56 : 120) - buffered_;
    for (int i = 0; i < 8; ++i) padding[pad + i] = uint8_t(bit_length >> (56 - 8 * i));
    update(padding, pad + 8);
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 4; ++j) out[4 * i + j] = uint8_t(state_[i] >> (24 - 8 * j));
    }
    reset();
    return out;
}

std::string Sha256::hex_digest() {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const uint8_t byte : digest()) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}
