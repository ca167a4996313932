// base64 and AES input: the key file's text and every signature pass through them.

#include <vector>

#include "base/aes.h"
#include "base/crypto.h"
#include "fuzz_support.h"

namespace {

constexpr std::string_view kKey = "0123456789abcdef";
constexpr std::string_view kIv = "fedcba9876543210";

bool holds_zero_byte(std::string_view text) { return text.find('\0') != std::string_view::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = castmill::fuzz::text_of(data, size);

    // Decoding stops at the first character outside the alphabet; what it yields encodes
    // back to text that decodes to the same bytes.
    const std::string bytes = base64_decode(text);
    FUZZ_CHECK(bytes.size() <= text.size() * 3 / 4 + 2);
    const std::string encoded = base64_encode(bytes);
    FUZZ_CHECK(encoded.size() == (bytes.size() + 2) / 3 * 4);
    FUZZ_CHECK(base64_decode(encoded) == bytes);
    FUZZ_CHECK(base64_encode(base64_decode(base64_encode(text))) == base64_encode(text));

    // Any text decrypts to something or nothing, never past its own bytes.
    const std::string plain = aes_decrypt_base64(text, kKey, kIv);
    FUZZ_CHECK(plain.size() <= bytes.size());
    FUZZ_CHECK(!holds_zero_byte(plain));

    // Text without zero bytes survives the round trip; a shorter key or IV is filled up.
    const std::string key = text.substr(0, 16);
    const std::string sealed = aes_encrypt_base64(text, key, kIv);
    if (text.size() < 2) {
        FUZZ_CHECK(sealed.empty());
    } else {
        FUZZ_CHECK(base64_decode(sealed).size() == (text.size() / 16 + 1) * 16);
        if (!holds_zero_byte(text)) FUZZ_CHECK(aes_decrypt_base64(sealed, key, kIv) == text);
    }

    // The cipher itself in every key and block length and mode.
    if (size < 1) return 0;
    const size_t lengths[] = {16, 24, 32};
    const size_t key_length = lengths[data[0] % 3];
    const size_t block_size = lengths[(data[0] / 3) % 3];
    const auto mode = static_cast<AES::Mode>((data[0] / 9) % 3);
    std::vector<uint8_t> block(data + 1, data + size);
    block.resize(block.size() / block_size * block_size);
    AES encryptor(text, text.substr(size / 2), key_length, block_size);
    std::vector<uint8_t> sealed_blocks(block.size());
    FUZZ_CHECK(encryptor.encrypt(block.data(), sealed_blocks.data(), block.size(), mode));
    AES decryptor(text, text.substr(size / 2), key_length, block_size);
    std::vector<uint8_t> opened(block.size());
    FUZZ_CHECK(decryptor.decrypt(sealed_blocks.data(), opened.data(), block.size(), mode));
    FUZZ_CHECK(opened == block);
    uint8_t odd[40] = {};
    FUZZ_CHECK(!encryptor.encrypt(odd, odd, block_size + 1, mode));
    return 0;
}
