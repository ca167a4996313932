#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// Ed25519 signatures of release metadata (libsodium) and SHA-256 digests of content.
// Keys and signatures travel as base64 text: a public key is 32 bytes, a secret key
// 64 bytes (seed and public key), a signature 64 bytes.

struct ReleaseKeyPair {
    std::string public_key;  // base64
    std::string secret_key;  // base64
};

// A fresh key pair from the system's random source.
ReleaseKeyPair make_release_key_pair();

// Detached signature of the bytes as base64 text; empty when the secret key is malformed.
std::string sign_release_bytes(std::string_view bytes, std::string_view secret_key);

// The public half of a secret key (base64); empty when the secret key is malformed.
std::string public_key_of(std::string_view secret_key);

// True when signature (base64, surrounding white space allowed) is a valid signature of
// exactly these bytes by public_key (base64). Malformed keys or signatures are false.
bool verify_release_bytes(std::string_view bytes, std::string_view signature,
                          std::string_view public_key);

// A public key text that decodes to 32 bytes and nothing else.
bool is_release_public_key(std::string_view public_key);

// SHA-256 digest as 64 lowercase hexadecimal digits.
std::string sha256_hex(std::string_view bytes);

// Exactly 64 hexadecimal digits.
bool is_sha256_text(std::string_view text);

// MD5 and SHA-256 of one file in a single read; both empty when it cannot be read.
struct ContentDigests {
    std::string md5;
    std::string sha256;
};
// With md5 false only the SHA-256 is taken (md5 stays empty): half the work or less.
ContentDigests file_digests(const std::filesystem::path& file, bool md5 = true);
