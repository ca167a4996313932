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
    void transform(const uint8_t* block);

    uint32_t state_[4];
    uint64_t length_ = 0;  // bytes hashed so far
    uint8_t buffer_[64];
    size_t buffered_ = 0;
};

// MD5 of a whole file, read in blocks; empty when the file cannot be read.
std::string md5_file_hex(const std::filesystem::path& file);
