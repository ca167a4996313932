#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

// MD5 (RFC 1321) digest of the bytes, as 32 lowercase hexadecimal digits.
std::string md5_hex(std::string_view bytes);

// Incremental MD5 for content that arrives in pieces (files, downloads).
class Md5 {
public:
    Md5();
    void update(const void* data, size_t size);
    // Finishes the digest; the object then starts over as a fresh context.
    std::string hex_digest();

private:
    // Hashes count whole blocks in place.
    void transform(const uint8_t* blocks, size_t count);

    uint32_t state_[4];
    uint64_t length_ = 0;  // bytes hashed so far
    uint8_t buffer_[64];
    size_t buffered_ = 0;
};

// MD5 of a whole file, read in blocks; empty when the file cannot be read.
std::string md5_file_hex(const std::filesystem::path& file);

// Standard base64 alphabet with "=" padding and no line breaks.
std::string base64_encode(std::string_view bytes);
// Decodes up to the first "=" or character outside the alphabet; a final partial group of
// two or three characters still yields one or two bytes. The rest is ignored.
std::string base64_decode(std::string_view text);

// AES-128-CBC with PKCS#7 padding, as base64 text; empty for plaintexts shorter than two
// bytes. The first 16 bytes of key and iv are used.
std::string aes_encrypt_base64(std::string_view plaintext, std::string_view key,
                               std::string_view iv);
// The reverse of aes_encrypt_base64. The result ends at the first zero byte of the
// decrypted buffer; a buffer with inconsistent padding comes back empty.
std::string aes_decrypt_base64(std::string_view text, std::string_view key, std::string_view iv);

// n characters from [0-9a-z], freshly seeded on every call.
std::string random_token(size_t n);
