#include "base/aes.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

namespace {

constexpr uint8_t xtime(uint8_t x) { return uint8_t((x << 1) ^ ((x & 0x80) ? 0x1b : 0)); }

constexpr uint8_t gf_multiply(uint8_t a, uint8_t b) {
    uint8_t product = 0;
    for (; b; b >>= 1, a = xtime(a)) {
        if (b & 1) product ^= a;
    }
    return product;
}

struct SBoxes {
    std::array<uint8_t, 256> forward{};
    std::array<uint8_t, 256> inverse{};
};

// The S-box is the multiplicative inverse in GF(2^8) followed by the affine map.
constexpr SBoxes make_sboxes() {
    SBoxes boxes;
    for (int x = 0; x < 256; ++x) {
        uint8_t inverse = 0;
        for (int y = 1; x != 0 && y < 256; ++y) {
            if (gf_multiply(uint8_t(x), uint8_t(y)) == 1) {
                inverse = uint8_t(y);
                break;
            }
        }
        uint8_t s = inverse;
        for (int shift = 1; shift <= 4; ++shift) {
            s ^= uint8_t((inverse << shift) | (inverse >> (8 - shift)));
        }
        s ^= 0x63;
        boxes.forward[x] = s;
        boxes.inverse[s] = uint8_t(x);
    }
    return boxes;
}

constexpr SBoxes kSBoxes = make_sboxes();
constexpr const std::array<uint8_t, 256>& kSBox = kSBoxes.forward;
constexpr const std::array<uint8_t, 256>& kInvSBox = kSBoxes.inverse;

// How far row r of the state moves left; Rijndael shifts further with 8-column blocks.
size_t row_shift(size_t columns, size_t row) {
    if (columns == 8) return row == 0 ? 0 : row == 1 ? 1 : row == 2 ? 3 : 4;
    return row;
}

bool valid_length(size_t n) { return n == 16 || n == 24 || n == 32; }

void xor_into(uint8_t* target, const uint8_t* source, size_t n) {
    for (size_t i = 0; i < n; ++i) target[i] ^= source[i];
}

}  // namespace

AES::AES(std::string_view key, std::string_view chain, size_t key_length, size_t block_size)
    : block_size_(block_size) {
    if (!valid_length(key_length) || !valid_length(block_size)) {
        throw std::invalid_argument("AES key and block lengths must be 16, 24 or 32 bytes");
    }
    columns_ = block_size / 4;
    const size_t key_words = key_length / 4;
    rounds_ = std::max(columns_, key_words) + 6;

    iv_.assign(block_size, 0);
    std::copy_n(chain.begin(), std::min(chain.size(), block_size), iv_.begin());
    chain_ = iv_;

    const size_t total_words = columns_ * (rounds_ + 1);
    round_keys_.assign(total_words * 4, 0);
    std::copy_n(key.begin(), std::min(key.size(), key_length), round_keys_.begin());
    uint8_t round_constant = 1;
    for (size_t i = key_words; i < total_words; ++i) {
        uint8_t word[4];
        std::memcpy(word, &round_keys_[(i - 1) * 4], 4);
        if (i % key_words == 0) {
            const uint8_t first = word[0];
            word[0] = uint8_t(kSBox[word[1]] ^ round_constant);
            word[1] = kSBox[word[2]];
            word[2] = kSBox[word[3]];
            word[3] = kSBox[first];
            round_constant = xtime(round_constant);
        } else if (key_words > 6 && i % key_words == 4) {
            for (uint8_t& b : word) b = kSBox[b];
        }
        for (size_t b = 0; b < 4; ++b) {
            round_keys_[i * 4 + b] = round_keys_[(i - key_words) * 4 + b] ^ word[b];
        }
    }
}

void AES::encrypt_block(const uint8_t* in, uint8_t* out) const {
    uint8_t state[32];
    uint8_t shifted[32];
    const size_t n = block_size_;
    std::memcpy(state, in, n);
    xor_into(state, round_keys_.data(), n);
    for (size_t round = 1; round <= rounds_; ++round) {
        // SubBytes and ShiftRows together: byte (row, column) sits at column * 4 + row.
        for (size_t c = 0; c < columns_; ++c) {
            for (size_t r = 0; r < 4; ++r) {
                shifted[c * 4 + r] =
                    kSBox[state[((c + row_shift(columns_, r)) % columns_) * 4 + r]];
            }
        }
        if (round != rounds_) {
            for (size_t c = 0; c < columns_; ++c) {
                uint8_t* col = shifted + c * 4;
                const uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
                const uint8_t all = a0 ^ a1 ^ a2 ^ a3;
                col[0] = a0 ^ all ^ xtime(a0 ^ a1);
                col[1] = a1 ^ all ^ xtime(a1 ^ a2);
                col[2] = a2 ^ all ^ xtime(a2 ^ a3);
                col[3] = a3 ^ all ^ xtime(a3 ^ a0);
            }
        }
        xor_into(shifted, &round_keys_[round * n], n);
        std::memcpy(state, shifted, n);
    }
    std::memcpy(out, state, n);
}

void AES::decrypt_block(const uint8_t* in, uint8_t* out) const {
    uint8_t state[32];
    uint8_t shifted[32];
    const size_t n = block_size_;
    std::memcpy(state, in, n);
    xor_into(state, &round_keys_[rounds_ * n], n);
    for (size_t round = rounds_; round-- > 0;) {
        // Inverse ShiftRows and inverse SubBytes.
        for (size_t c = 0; c < columns_; ++c) {
            for (size_t r = 0; r < 4; ++r) {
                shifted[((c + row_shift(columns_, r)) % columns_) * 4 + r] =
                    kInvSBox[state[c * 4 + r]];
            }
        }
        xor_into(shifted, &round_keys_[round * n], n);
        if (round != 0) {
            for (size_t c = 0; c < columns_; ++c) {
                uint8_t* col = shifted + c * 4;
                const uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
                col[0] = gf_multiply(a0, 14) ^ gf_multiply(a1, 11) ^ gf_multiply(a2, 13) ^
                         gf_multiply(a3, 9);
                col[1] = gf_multiply(a0, 9) ^ gf_multiply(a1, 14) ^ gf_multiply(a2, 11) ^
                         gf_multiply(a3, 13);
                col[2] = gf_multiply(a0, 13) ^ gf_multiply(a1, 9) ^ gf_multiply(a2, 14) ^
                         gf_multiply(a3, 11);
                col[3] = gf_multiply(a0, 11) ^ gf_multiply(a1, 13) ^ gf_multiply(a2, 9) ^
                         gf_multiply(a3, 14);
            }
        }
        std::memcpy(state, shifted, n);
    }
    std::memcpy(out, state, n);
}

bool AES::encrypt(const uint8_t* in, uint8_t* out, size_t n, Mode mode) {
    if (n % block_size_ != 0) return false;
    uint8_t block[32];
    for (size_t offset = 0; offset < n; offset += block_size_) {
        switch (mode) {
            case ECB:
                encrypt_block(in + offset, out + offset);
                break;
            case CBC:
                std::memcpy(block, in + offset, block_size_);
                xor_into(block, chain_.data(), block_size_);
                encrypt_block(block, out + offset);
                std::memcpy(chain_.data(), out + offset, block_size_);
                break;
            case CFB:
                encrypt_block(chain_.data(), block);
                xor_into(block, in + offset, block_size_);
                std::memcpy(out + offset, block, block_size_);
                std::memcpy(chain_.data(), block, block_size_);
                break;
        }
    }
    return true;
}

bool AES::decrypt(const uint8_t* in, uint8_t* out, size_t n, Mode mode) {
    if (n % block_size_ != 0) return false;
    uint8_t block[32];
    uint8_t cipher[32];
    for (size_t offset = 0; offset < n; offset += block_size_) {
        // Keep the cipher block: in and out may overlap.
        std::memcpy(cipher, in + offset, block_size_);
        switch (mode) {
            case ECB:
                decrypt_block(cipher, out + offset);
                break;
            case CBC:
                decrypt_block(cipher, block);
                xor_into(block, chain_.data(), block_size_);
                std::memcpy(out + offset, block, block_size_);
                std::memcpy(chain_.data(), cipher, block_size_);
                break;
            case CFB:
                encrypt_block(chain_.data(), block);
                xor_into(block, cipher, block_size_);
                std::memcpy(out + offset, block, block_size_);
                std::memcpy(chain_.data(), cipher, block_size_);
                break;
        }
    }
    return true;
}

void AES::reset_chain() { chain_ = iv_; }
