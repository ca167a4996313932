#include "base/release_signature.h"

#include <sodium.h>

#include <cctype>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "base/crypto.h"
#include "base/sha256.h"
#include "base/utf8_path.h"

namespace {

// libsodium picks its implementations once; later calls return at once.
void ensure_sodium() {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
}

std::string_view trimmed(std::string_view text) {
    const char* blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Strict base64 of exactly `size` bytes: anything else (wrong length, stray characters,
// missing padding) is refused rather than read leniently.
bool decode_exact(std::string_view text, unsigned char* out, size_t size) {
    ensure_sodium();
    text = trimmed(text);
    size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(out, size, text.data(), text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0) {
        return false;
    }
    return length == size && end == text.data() + text.size();
}

std::string encode(const unsigned char* bytes, size_t size) {
    return base64_encode(std::string_view(reinterpret_cast<const char*>(bytes), size));
}

}  // namespace

ReleaseKeyPair make_release_key_pair() {
    ensure_sodium();
    unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
    unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(public_key, secret_key);
    ReleaseKeyPair pair{encode(public_key, sizeof public_key),
                        encode(secret_key, sizeof secret_key)};
    sodium_memzero(secret_key, sizeof secret_key);
    return pair;
}

std::string sign_release_bytes(std::string_view bytes, std::string_view secret_key) {
    unsigned char key[crypto_sign_SECRETKEYBYTES];
    if (!decode_exact(secret_key, key, sizeof key)) return {};
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(bytes.data()),
                         bytes.size(), key);
    sodium_memzero(key, sizeof key);
    return encode(signature, sizeof signature);
}

std::string public_key_of(std::string_view secret_key) {
    unsigned char key[crypto_sign_SECRETKEYBYTES];
    if (!decode_exact(secret_key, key, sizeof key)) return {};
    unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
    crypto_sign_ed25519_sk_to_pk(public_key, key);
    sodium_memzero(key, sizeof key);
    return encode(public_key, sizeof public_key);
}

bool verify_release_bytes(std::string_view bytes, std::string_view signature,
                          std::string_view public_key) {
    unsigned char key[crypto_sign_PUBLICKEYBYTES];
    unsigned char raw[crypto_sign_BYTES];
    if (!decode_exact(public_key, key, sizeof key) || !decode_exact(signature, raw, sizeof raw))
        return false;
    return crypto_sign_verify_detached(raw, reinterpret_cast<const unsigned char*>(bytes.data()),
                                       bytes.size(), key) == 0;
}

bool is_release_public_key(std::string_view public_key) {
    unsigned char key[crypto_sign_PUBLICKEYBYTES];
    return decode_exact(public_key, key, sizeof key);
}

std::string sha256_hex(std::string_view bytes) {
    Sha256 sha;
    sha.update(bytes.data(), bytes.size());
    return sha.hex_digest();
}

bool is_sha256_text(std::string_view text) {
    if (text.size() != 2 * crypto_hash_sha256_BYTES) return false;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

ContentDigests file_digests(const std::filesystem::path& file, bool with_md5) {
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileCloser> in(velora::sys::open_file(file, "rb"));
    if (!in) return {};
    Md5 md5;
    Sha256 sha;
    std::vector<unsigned char> block(256 * 1024);
    size_t got;
    while ((got = std::fread(block.data(), 1, block.size(), in.get())) > 0) {
        if (with_md5) md5.update(block.data(), got);
        sha.update(block.data(), got);
    }
    if (std::ferror(in.get())) return {};
    return {with_md5 ? md5.hex_digest() : std::string(), sha.hex_digest()};
}
