#include "base/crypto.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "base/aes.h"
#include "base/block_feed.h"
#include "base/utf8_path.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kAesBlock = 16;

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Message words are little-endian; on little-endian machines a block is already in place.
inline uint32_t load_le32(const uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        uint32_t word;
        std::memcpy(&word, p, sizeof word);
        return word;
    } else {
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
}

// The four round steps of RFC 1321. The message word and constant are added first, so only
// the round function waits for the previous step's result. F and G are written so that the
// newest value passes through two operations (G's halves share no bits, so + is |).
inline void ff(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t m, uint32_t k, int s) {
    a = b + std::rotl(a + m + k + (d ^ (b & (c ^ d))), s);
}
inline void gg(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t m, uint32_t k, int s) {
    a = b + std::rotl(a + m + k + (c & ~d) + (b & d), s);
}
inline void hh(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t m, uint32_t k, int s) {
    a = b + std::rotl(a + m + k + ((c ^ d) ^ b), s);
}
inline void ii(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t m, uint32_t k, int s) {
    a = b + std::rotl(a + m + k + (c ^ (b | ~d)), s);
}

}  // namespace

Md5::Md5() {
    state_[0] = 0x67452301;
    state_[1] = 0xefcdab89;
    state_[2] = 0x98badcfe;
    state_[3] = 0x10325476;
}

void Md5::transform(const uint8_t* blocks, size_t count) {
    // The state stays in registers across the blocks of one call.
    uint32_t a0 = state_[0], b0 = state_[1], c0 = state_[2], d0 = state_[3];
    for (; count > 0; --count, blocks += 64) {
        uint32_t m[16];
        for (int i = 0; i < 16; ++i) m[i] = load_le32(blocks + 4 * i);
        uint32_t a = a0, b = b0, c = c0, d = d0;
        ff(a, b, c, d, m[0], 0xd76aa478, 7);
        ff(d, a, b, c, m[1], 0xe8c7b756, 12);
        ff(c, d, a, b, m[2], 0x242070db, 17);
        ff(b, c, d, a, m[3], 0xc1bdceee, 22);
        ff(a, b, c, d, m[4], 0xf57c0faf, 7);
        ff(d, a, b, c, m[5], 0x4787c62a, 12);
        ff(c, d, a, b, m[6], 0xa8304613, 17);
        ff(b, c, d, a, m[7], 0xfd469501, 22);
        ff(a, b, c, d, m[8], 0x698098d8, 7);
        ff(d, a, b, c, m[9], 0x8b44f7af, 12);
        ff(c, d, a, b, m[10], 0xffff5bb1, 17);
        ff(b, c, d, a, m[11], 0x895cd7be, 22);
        ff(a, b, c, d, m[12], 0x6b901122, 7);
        ff(d, a, b, c, m[13], 0xfd987193, 12);
        ff(c, d, a, b, m[14], 0xa679438e, 17);
        ff(b, c, d, a, m[15], 0x49b40821, 22);
        gg(a, b, c, d, m[1], 0xf61e2562, 5);
        gg(d, a, b, c, m[6], 0xc040b340, 9);
        gg(c, d, a, b, m[11], 0x265e5a51, 14);
        gg(b, c, d, a, m[0], 0xe9b6c7aa, 20);
        gg(a, b, c, d, m[5], 0xd62f105d, 5);
        gg(d, a, b, c, m[10], 0x02441453, 9);
        gg(c, d, a, b, m[15], 0xd8a1e681, 14);
        gg(b, c, d, a, m[4], 0xe7d3fbc8, 20);
        gg(a, b, c, d, m[9], 0x21e1cde6, 5);
        gg(d, a, b, c, m[14], 0xc33707d6, 9);
        gg(c, d, a, b, m[3], 0xf4d50d87, 14);
        gg(b, c, d, a, m[8], 0x455a14ed, 20);
        gg(a, b, c, d, m[13], 0xa9e3e905, 5);
        gg(d, a, b, c, m[2], 0xfcefa3f8, 9);
        gg(c, d, a, b, m[7], 0x676f02d9, 14);
        gg(b, c, d, a, m[12], 0x8d2a4c8a, 20);
        hh(a, b, c, d, m[5], 0xfffa3942, 4);
        hh(d, a, b, c, m[8], 0x8771f681, 11);
        hh(c, d, a, b, m[11], 0x6d9d6122, 16);
        hh(b, c, d, a, m[14], 0xfde5380c, 23);
        hh(a, b, c, d, m[1], 0xa4beea44, 4);
        hh(d, a, b, c, m[4], 0x4bdecfa9, 11);
        hh(c, d, a, b, m[7], 0xf6bb4b60, 16);
        hh(b, c, d, a, m[10], 0xbebfbc70, 23);
        hh(a, b, c, d, m[13], 0x289b7ec6, 4);
        hh(d, a, b, c, m[0], 0xeaa127fa, 11);
        hh(c, d, a, b, m[3], 0xd4ef3085, 16);
        hh(b, c, d, a, m[6], 0x04881d05, 23);
        hh(a, b, c, d, m[9], 0xd9d4d039, 4);
        hh(d, a, b, c, m[12], 0xe6db99e5, 11);
        hh(c, d, a, b, m[15], 0x1fa27cf8, 16);
        hh(b, c, d, a, m[2], 0xc4ac5665, 23);
        ii(a, b, c, d, m[0], 0xf4292244, 6);
        ii(d, a, b, c, m[7], 0x432aff97, 10);
        ii(c, d, a, b, m[14], 0xab9423a7, 15);
        ii(b, c, d, a, m[5], 0xfc93a039, 21);
        ii(a, b, c, d, m[12], 0x655b59c3, 6);
        ii(d, a, b, c, m[3], 0x8f0ccc92, 10);
        ii(c, d, a, b, m[10], 0xffeff47d, 15);
        ii(b, c, d, a, m[1], 0x85845dd1, 21);
        ii(a, b, c, d, m[8], 0x6fa87e4f, 6);
        ii(d, a, b, c, m[15], 0xfe2ce6e0, 10);
        ii(c, d, a, b, m[6], 0xa3014314, 15);
        ii(b, c, d, a, m[13], 0x4e0811a1, 21);
        ii(a, b, c, d, m[4], 0xf7537e82, 6);
        ii(d, a, b, c, m[11], 0xbd3af235, 10);
        ii(c, d, a, b, m[2], 0x2ad7d2bb, 15);
        ii(b, c, d, a, m[9], 0xeb86d391, 21);
        a0 += a;
        b0 += b;
        c0 += c;
        d0 += d;
    }
    state_[0] = a0;
    state_[1] = b0;
    state_[2] = c0;
    state_[3] = d0;
}

void Md5::update(const void* data, size_t size) {
    length_ += size;
    feed_blocks(buffer_, buffered_, static_cast<const uint8_t*>(data), size,
                [this](const uint8_t* blocks, size_t count) { transform(blocks, count); });
}

std::string Md5::hex_digest() {
    uint64_t bit_length = length_ * 8;
    uint8_t padding[72] = {0x80};
    size_t pad = (buffered_ < 56 ? 56 : 120) - buffered_;
    for (int i = 0; i < 8; ++i) padding[pad + i] = uint8_t(bit_length >> (8 * i));
    update(padding, pad + 8);

    std::string hex(32, '0');
    for (int i = 0; i < 16; ++i) {
        uint8_t byte = uint8_t(state_[i / 4] >> (8 * (i % 4)));
        hex[i * 2] = kHexDigits[byte >> 4];
        hex[i * 2 + 1] = kHexDigits[byte & 0x0f];
    }
    *this = Md5();
    return hex;
}

std::string md5_hex(std::string_view bytes) {
    Md5 md5;
    md5.update(bytes.data(), bytes.size());
    return md5.hex_digest();
}

std::string md5_file_hex(const std::filesystem::path& file) {
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileCloser> in(velora::sys::open_file(file, "rb"));
    if (!in) return {};
    // Large reads straight into our buffer: stdio's own buffer would only add a copy.
    std::setvbuf(in.get(), nullptr, _IONBF, 0);
    Md5 md5;
    std::vector<char> block(1024 * 1024);
    size_t got;
    while ((got = std::fread(block.data(), 1, block.size(), in.get())) > 0) {
        md5.update(block.data(), got);
    }
    // A directory opens fine on POSIX and only fails on read.
    if (std::ferror(in.get())) return {};
    return md5.hex_digest();
}

std::string base64_encode(std::string_view bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t group = uint32_t(uint8_t(bytes[i])) << 16 |
                               uint32_t(uint8_t(bytes[i + 1])) << 8 | uint8_t(bytes[i + 2]);
        text.push_back(kBase64Alphabet[group >> 18]);
        text.push_back(kBase64Alphabet[(group >> 12) & 63]);
        text.push_back(kBase64Alphabet[(group >> 6) & 63]);
        text.push_back(kBase64Alphabet[group & 63]);
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t group = uint32_t(uint8_t(bytes[i])) << 16;
        if (rest == 2) group |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        text.push_back(kBase64Alphabet[group >> 18]);
        text.push_back(kBase64Alphabet[(group >> 12) & 63]);
        text.push_back(rest == 2 ? kBase64Alphabet[(group >> 6) & 63] : '=');
        text.push_back('=');
    }
    return text;
}

std::string base64_decode(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3 + 2);
    uint32_t bits = 0;
    int bit_count = 0;
    for (char c : text) {
        const int value = base64_value(c);
        if (value < 0) break;  // "=" included
        bits = (bits << 6) | uint32_t(value);
        bit_count += 6;
        if (bit_count >= 8) {
            bit_count -= 8;
            bytes.push_back(char((bits >> bit_count) & 0xff));
        }
    }
    return bytes;
}

std::string aes_encrypt_base64(std::string_view plaintext, std::string_view key,
                               std::string_view iv) {
    const size_t length = plaintext.size();
    if (length < 2) return {};
    // PKCS#7: always 1 to 16 bytes of padding.
    const size_t padded = (length / kAesBlock + 1) * kAesBlock;
    std::string buffer(plaintext);
    buffer.resize(padded, char(padded - length));
    AES aes(key.substr(0, kAesBlock), iv.substr(0, kAesBlock));
    auto* data = reinterpret_cast<uint8_t*>(buffer.data());
    aes.encrypt(data, data, padded, AES::CBC);
    return base64_encode(buffer);
}

std::string aes_decrypt_base64(std::string_view text, std::string_view key, std::string_view iv) {
    if (text.empty()) return {};
    std::string buffer = base64_decode(text);
    if (buffer.size() <= 1) return {};
    if (buffer.size() % kAesBlock == 0) {
        AES aes(key.substr(0, kAesBlock), iv.substr(0, kAesBlock));
        auto* data = reinterpret_cast<uint8_t*>(buffer.data());
        aes.decrypt(data, data, buffer.size(), AES::CBC);
    }
    const size_t pad = uint8_t(buffer.back());
    if (pad >= 1 && pad <= kAesBlock) {
        // Padding longer than the buffer cannot be valid; treat it like a wrong byte
        // rather than reading before the start.
        bool valid = pad <= buffer.size();
        for (size_t i = 1; valid && i <= pad; ++i) {
            char& byte = buffer[buffer.size() - i];
            if (uint8_t(byte) != pad) {
                valid = false;
            } else {
                byte = 0;
            }
        }
        if (!valid) std::fill(buffer.begin(), buffer.end(), '\0');
    }
    return std::string(buffer.c_str());
}

std::string random_token(size_t n) {
    std::random_device source;
    std::mt19937 generator(source());
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string token(n, '0');
    for (char& c : token) c = kDigits[generator() % 36];
    return token;
}
