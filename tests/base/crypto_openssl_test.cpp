#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <random>
#include <string>

#include "base/aes.h"
#include "base/crypto.h"
#include "support/byte_strings.h"

// Our MD5 and AES against OpenSSL on random inputs. OpenSSL serves only as the reference
// the product code is checked against, on the build machine.
namespace {

using castmill::test::bytes_of;
using castmill::test::random_bytes;
using castmill::test::to_hex;

std::string openssl_md5_hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_md5(), nullptr);
    return to_hex(std::string_view(reinterpret_cast<char*>(digest), size));
}

std::string openssl_aes128_cbc(std::string_view plain, std::string_view key, std::string_view iv,
                               bool pad) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr,
                       reinterpret_cast<const unsigned char*>(key.data()),
                       reinterpret_cast<const unsigned char*>(iv.data()));
    EVP_CIPHER_CTX_set_padding(ctx.get(), pad ? 1 : 0);
    std::string out(plain.size() + 32, '\0');
    int written = 0, final_written = 0;
    EVP_EncryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &written,
                      reinterpret_cast<const unsigned char*>(plain.data()), int(plain.size()));
    EVP_EncryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(out.data()) + written,
                        &final_written);
    out.resize(size_t(written + final_written));
    return out;
}

TEST(Md5, AgreesWithOpenSslOnRandomInputs) {
    std::mt19937 gen(1321);
    std::uniform_int_distribution<size_t> length(0, 4000);
    for (size_t n : {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 4096}) {
        std::string bytes = random_bytes(gen, n);
        EXPECT_EQ(md5_hex(bytes), openssl_md5_hex(bytes)) << n << " bytes";
    }
    for (int i = 0; i < 300; ++i) {
        std::string bytes = random_bytes(gen, length(gen));
        ASSERT_EQ(md5_hex(bytes), openssl_md5_hex(bytes)) << bytes.size() << " bytes";
    }
}

// Pieces that straddle block boundaries in every way, and whole blocks taken straight from
// the caller's buffer after a partly filled one.
TEST(Md5, AgreesWithOpenSslWhenFedInOddSizedPieces) {
    std::mt19937 gen(64);
    const size_t pieces[] = {1, 3, 7, 55, 63, 64, 65, 119, 120, 4097, 65537};
    for (size_t n : {0, 55, 56, 63, 64, 65, 119, 120, (1 << 20) + 1}) {
        const std::string bytes = random_bytes(gen, n);
        const std::string expected = openssl_md5_hex(bytes);
        EXPECT_EQ(md5_hex(bytes), expected) << n << " bytes";
        for (size_t first = 0; first < std::size(pieces); ++first) {
            Md5 md5;
            size_t done = 0;
            for (size_t i = first; done < n; ++i) {
                const size_t take = std::min(pieces[i % std::size(pieces)], n - done);
                md5.update(bytes.data() + done, take);
                done += take;
            }
            ASSERT_EQ(md5.hex_digest(), expected) << n << " bytes, pieces from " << pieces[first];
        }
    }
}

TEST(AesBase64, AgreesWithOpenSslCbcOnRandomInputs) {
    std::mt19937 gen(197);
    std::uniform_int_distribution<size_t> length(0, 300);
    for (int i = 0; i < 300; ++i) {
        const std::string key = random_bytes(gen, 16), iv = random_bytes(gen, 16);
        size_t n = i < 6 ? size_t(i) * 16 : length(gen);  // empty and block-aligned first
        std::string plain = random_bytes(gen, n);
        SCOPED_TRACE(testing::Message() << n << " bytes");

        AES aes(key, iv);
        std::string raw = plain.substr(0, n / 16 * 16);
        aes.encrypt(bytes_of(raw), bytes_of(raw), raw.size(), AES::CBC);
        ASSERT_EQ(to_hex(raw),
                  to_hex(openssl_aes128_cbc(plain.substr(0, n / 16 * 16), key, iv, false)));

        const std::string text = aes_encrypt_base64(plain, key, iv);
        if (n < 2) {
            EXPECT_EQ(text, "");
        } else {
            ASSERT_EQ(text, base64_encode(openssl_aes128_cbc(plain, key, iv, true)));
        }
    }
}

}  // namespace
