#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// Rijndael with key and block lengths of 16, 24 or 32 bytes; with 16-byte blocks it is
// AES (FIPS-197). One object serves one operation: the chain block (the IV) advances as
// blocks are processed in CBC and CFB mode.
class AES {
public:
    enum Mode { ECB = 0, CBC = 1, CFB = 2 };

    // The first key_length bytes of key and block_size bytes of chain are used; shorter
    // strings are filled up with zero bytes. Throws std::invalid_argument for a length
    // other than 16, 24 or 32.
    AES(std::string_view key, std::string_view chain, size_t key_length = 16,
        size_t block_size = 16);

    size_t block_size() const { return block_size_; }

    void encrypt_block(const uint8_t* in, uint8_t* out) const;
    void decrypt_block(const uint8_t* in, uint8_t* out) const;

    // n must be a multiple of the block size; otherwise nothing is written and the
    // result is false. in and out may be the same buffer.
    bool encrypt(const uint8_t* in, uint8_t* out, size_t n, Mode mode = ECB);
    bool decrypt(const uint8_t* in, uint8_t* out, size_t n, Mode mode = ECB);

    // Puts the chain block back to the IV given at construction.
    void reset_chain();

private:
    size_t block_size_;
    size_t columns_;                   // Nb
    size_t rounds_;                    // Nr
    std::vector<uint8_t> round_keys_;  // (rounds_ + 1) * block_size_ bytes
    std::vector<uint8_t> iv_;
    std::vector<uint8_t> chain_;
};
