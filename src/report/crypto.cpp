#include "report/crypto.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "report/aes.h"
#include "sys/files.h"

namespace {

constexpr uint32_t kMd5Sines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr int kMd5Shifts[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

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

inline uint32_t rotate_left(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

Md5::Md5() {
    state_[0] = 0x67452301;
    state_[1] = 0xefcdab89;
    state_[2] = 0x98badcfe;
    state_[3] = 0x10325476;
}

void Md5::transform(const uint8_t* block) {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i) {
        m[i] = uint32_t(block[i * 4]) | uint32_t(block[i * 4 + 1]) << 8 |
               uint32_t(block[i * 4 + 2]) << 16 | uint32_t(block[i * 4 + 3]) << 24;
    }
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    // One loop per round keeps the round function out of the inner branch.
    auto step = [&](uint32_t f, int i, int g) {
        const uint32_t next = b + rotate_left(a + f + kMd5Sines[i] + m[g], kMd5Shifts[i]);
        a = d;
        d = c;
        c = b;
        b = next;
    };
    for (int i = 0; i < 16; ++i) step((b & c) | (~b & d), i, i);
    for (int i = 16; i < 32; ++i) step((d & b) | (~d & c), i, (5 * i + 1) % 16);
    for (int i = 32; i < 48; ++i) step(b ^ c ^ d, i, (3 * i + 5) % 16);
    for (int i = 48; i < 64; ++i) step(c ^ (b | ~d), i, (7 * i) % 16);
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

void Md5::update(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    length_ += size;
    if (buffered_ > 0) {
        size_t take = std::min(size, sizeof(buffer_) - buffered_);
        std::memcpy(buffer_ + buffered_, bytes, take);
        buffered_ += take;
        bytes += take;
        size -= take;
        if (buffered_ < sizeof(buffer_)) return;
        transform(buffer_);
        buffered_ = 0;
    }
    for (; size >= 64; bytes += 64, size -= 64) transform(bytes);
    if (size > 0) {
        std::memcpy(buffer_, bytes, size);
        buffered_ = size;
    }
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
    Md5 md5;
    std::vector<char> block(64 * 1024);
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
