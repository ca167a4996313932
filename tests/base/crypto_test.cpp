#include "base/crypto.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>

#include "base/aes.h"
#include "support/byte_strings.h"
#include "support/test_env.h"

namespace {

using castmill::test::TempDir;
using castmill::test::write_file;

TEST(Md5, MatchesTheRfc1321TestSuite) {
    EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5_hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5_hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5_hex("1234567890123456789012345678901234567890123456789012345678901234567890"
                      "1234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, HashesBinaryBytesIncludingZeros) {
    std::string bytes("\0\x01\xff", 3);
    // Cut off at the zero byte this would be the digest of the empty string.
    EXPECT_NE(md5_hex(bytes), md5_hex(""));
    EXPECT_EQ(md5_hex(std::string(1, '\0')), "93b885adfe0da089cdf634904fd59f71");
}

TEST(Md5, IncrementalUpdatesGiveTheSameDigestForEverySplit) {
    std::string text;
    for (int i = 0; i < 300; ++i) text.push_back(char('a' + i % 26));
    const std::string whole = md5_hex(text);
    for (size_t split : {0, 1, 55, 56, 63, 64, 65, 128, 299, 300}) {
        Md5 md5;
        md5.update(text.data(), split);
        md5.update(text.data() + split, text.size() - split);
        EXPECT_EQ(md5.hex_digest(), whole) << "split at " << split;
    }
    Md5 bytewise;
    for (char c : text) bytewise.update(&c, 1);
    EXPECT_EQ(bytewise.hex_digest(), whole);
    // After a digest the context starts over.
    EXPECT_EQ(bytewise.hex_digest(), md5_hex(""));
}

TEST(Md5, HashesFilesAndGivesEmptyTextForUnreadableOnes) {
    TempDir dir;
    std::string content(200 * 1024 + 7, 'x');
    for (size_t i = 0; i < content.size(); ++i) content[i] = char(i * 31 % 251);
    write_file(dir / "data.bin", content);
    write_file(dir / "empty.bin", "");
    EXPECT_EQ(md5_file_hex(dir / "data.bin"), md5_hex(content));
    // Several reads, the last one short.
    std::string large(3 * 1024 * 1024 + 5, '\0');
    for (size_t i = 0; i < large.size(); ++i) large[i] = char(i * 131 % 257);
    write_file(dir / "large.bin", large);
    EXPECT_EQ(md5_file_hex(dir / "large.bin"), md5_hex(large));
    EXPECT_EQ(md5_file_hex(dir / "empty.bin"), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_file_hex(dir / "missing.bin"), "");
    EXPECT_EQ(md5_file_hex(dir.path()), "");
}

std::string from_hex(std::string_view hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(char(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return bytes;
}

using castmill::test::bytes_of;
using castmill::test::random_bytes;
using castmill::test::to_hex;

TEST(Base64, EncodesWithPaddingAndDecodesBack) {
    EXPECT_EQ(base64_encode(""), "");
    EXPECT_EQ(base64_encode("f"), "Zg==");
    EXPECT_EQ(base64_encode("fo"), "Zm8=");
    EXPECT_EQ(base64_encode("foo"), "Zm9v");
    EXPECT_EQ(base64_encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(base64_encode(std::string("\xfb\xff\0", 3)), "+/8A");
    std::mt19937 gen(4648);
    for (size_t n = 0; n < 70; ++n) {
        std::string bytes = random_bytes(gen, n);
        std::string text = base64_encode(bytes);
        EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
        EXPECT_EQ(base64_decode(text), bytes);
    }
}

TEST(Base64, DecodingStopsAtPaddingOrForeignCharacterAndKeepsPartialGroups) {
    EXPECT_EQ(base64_decode("Zm9vYmFy=Zm9v"), "foobar");
    EXPECT_EQ(base64_decode("Zm9v\nYmFy"), "foo");
    EXPECT_EQ(base64_decode("Zm9v-YmFy"), "foo");
    EXPECT_EQ(base64_decode("Zm8"), "fo");
    EXPECT_EQ(base64_decode("Zg"), "f");
    EXPECT_EQ(base64_decode("Z"), "");
    EXPECT_EQ(base64_decode("=Zm9v"), "");
    EXPECT_EQ(base64_decode(""), "");
}

TEST(Aes, MatchesFips197AppendixC) {
    const std::string plain = from_hex("00112233445566778899aabbccddeeff");
    const std::string key =
        from_hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const struct {
        size_t key_length;
        const char* cipher;
    } cases[] = {{16, "69c4e0d86a7b0430d8cdb78070b4c55a"},
                 {24, "dda97ca4864cdfe06eaf70a0ec0d7191"},
                 {32, "8ea2b7ca516745bfeafc49904b496089"}};
    for (const auto& c : cases) {
        AES aes(key, "", c.key_length);
        std::string out(16, '\0');
        aes.encrypt_block(reinterpret_cast<const uint8_t*>(plain.data()), bytes_of(out));
        EXPECT_EQ(to_hex(out), c.cipher) << c.key_length;
        std::string back(16, '\0');
        aes.decrypt_block(bytes_of(out), bytes_of(back));
        EXPECT_EQ(back, plain);
    }
}

// SP 800-38A, appendix F: the same four plaintext blocks in ECB, CBC and CFB128.
TEST(Aes, MatchesSp80038aModeVectors) {
    const std::string plain = from_hex(
        "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
        "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
    const std::string iv = from_hex("000102030405060708090a0b0c0d0e0f");
    const std::string key128 = from_hex("2b7e151628aed2a6abf7158809cf4f3c");
    const std::string key192 = from_hex("8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b");
    const std::string key256 =
        from_hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    const struct {
        const std::string& key;
        AES::Mode mode;
        const char* cipher;
    } cases[] = {
        {key128, AES::ECB,
         "3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf"
         "43b1cd7f598ece23881b00e3ed0306887b0c785e27e8ad3f8223207104725dd4"},
        {key192, AES::ECB,
         "bd334f1d6e45f25ff712a214571fa5cc974104846d0ad3ad7734ecb3ecee4eef"
         "ef7afd2270e2e60adce0ba2face6444e9a4b41ba738d6c72fb16691603c18e0e"},
        {key256, AES::ECB,
         "f3eed1bdb5d2a03c064b5a7e3db181f8591ccb10d410ed26dc5ba74a31362870"
         "b6ed21b99ca6f4f9f153e7b1beafed1d23304b7a39f9f3ff067d8d8f9e24ecc7"},
        {key128, AES::CBC,
         "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
         "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
        {key192, AES::CBC,
         "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a"
         "571b242012fb7ae07fa9baac3df102e008b0e27988598881d920a9e64f5615cd"},
        {key256, AES::CBC,
         "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
         "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
        {key128, AES::CFB,
         "3b3fd92eb72dad20333449f8e83cfb4ac8a64537a0b3a93fcde3cdad9f1ce58b"
         "26751f67a3cbb140b1808cf187a4f4dfc04b05357c5d1c0eeac4c66f9ff7f2e6"},
        {key192, AES::CFB,
         "cdc80d6fddf18cab34c25909c99a417467ce7f7f81173621961a2b70171d3d7a"
         "2e1e8a1dd59b88b1c8e60fed1efac4c9c05f9f9ca9834fa042ae8fba584b09ff"},
        {key256, AES::CFB,
         "dc7e84bfda79164b7ecd8486985d386039ffed143b28b1c832113c6331e5407b"
         "df10132415e54b92a13ed0a8267ae2f975a385741ab9cef82031623d55b1e471"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.key.size() * 8 << " bits, mode " << c.mode);
        AES aes(c.key, iv, c.key.size());
        std::string cipher = plain;
        // Two calls: the chain block must carry over from the first half to the second.
        ASSERT_TRUE(aes.encrypt(bytes_of(cipher), bytes_of(cipher), 32, c.mode));
        ASSERT_TRUE(aes.encrypt(bytes_of(cipher) + 32, bytes_of(cipher) + 32, 32, c.mode));
        EXPECT_EQ(to_hex(cipher), c.cipher);
        aes.reset_chain();
        std::string back = cipher;
        ASSERT_TRUE(aes.decrypt(bytes_of(back), bytes_of(back), back.size(), c.mode));
        EXPECT_EQ(back, plain);
    }
}

// Brian Gladman's Rijndael vectors for all block and key lengths: key and plaintext are
// the leading bytes of 2b7e1516... and 3243f6a8... (hex digits of e and pi).
TEST(Aes, MatchesRijndaelVectorsForWideBlocks) {
    const std::string key =
        from_hex("2b7e151628aed2a6abf7158809cf4f3c762e7160f38b4da56a784d9045190cfe");
    const std::string pi =
        from_hex("3243f6a8885a308d313198a2e03707344a4093822299f31d0082efa98ec4e6c8");
    const struct {
        size_t block, key_length;
        const char* cipher;
    } cases[] = {
        {16, 24, "f9fb29aefc384a250340d833b87ebc00"},
        {16, 32, "1a6e6c2c662e7da6501ffb62bc9e93f3"},
        {24, 16, "b24d275489e82bb8f7375e0d5fcdb1f481757c538b65148a"},
        {24, 24, "725ae43b5f3161de806a7c93e0bca93c967ec1ae1b71e1cf"},
        {24, 32, "0ebacf199e3315c2e34b24fcc7c46ef4388aa475d66c194c"},
        {32, 16, "7d15479076b69a46ffb3b3beae97ad8313f622f67fedb487de9f06b9ed9c8f19"},
        {32, 24, "5d7101727bb25781bf6715b0e6955282b9610e23a43c2eb062699f0ebf5887b2"},
        {32, 32, "a49406115dfb30a40418aafa4869b7c6a886ff31602a7dd19c889dc64f7e4e7a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "block " << c.block << ", key " << c.key_length);
        AES aes(key, "", c.key_length, c.block);
        std::string block = pi.substr(0, c.block);
        aes.encrypt_block(bytes_of(block), bytes_of(block));
        EXPECT_EQ(to_hex(block), c.cipher);
        aes.decrypt_block(bytes_of(block), bytes_of(block));
        EXPECT_EQ(block, pi.substr(0, c.block));
    }
}

TEST(Aes, WideBlocksChainAcrossBlocksInEveryMode) {
    std::mt19937 gen(38);
    for (size_t block : {24, 32}) {
        const std::string key = random_bytes(gen, 32), iv = random_bytes(gen, block);
        const std::string plain = random_bytes(gen, block * 5);
        for (AES::Mode mode : {AES::ECB, AES::CBC, AES::CFB}) {
            AES aes(key, iv, 32, block);
            std::string cipher = plain;
            aes.encrypt(bytes_of(cipher), bytes_of(cipher), cipher.size(), mode);
            // Equal plaintext blocks must differ once chained.
            std::string twice = plain.substr(0, block) + plain.substr(0, block);
            aes.reset_chain();
            aes.encrypt(bytes_of(twice), bytes_of(twice), twice.size(), mode);
            EXPECT_EQ(twice.substr(0, block) == twice.substr(block), mode == AES::ECB);
            aes.reset_chain();
            aes.decrypt(bytes_of(cipher), bytes_of(cipher), cipher.size(), mode);
            EXPECT_EQ(cipher, plain) << "block " << block << ", mode " << mode;
        }
    }
}

TEST(Aes, RefusesBadLengths) {
    EXPECT_THROW(AES("k", "i", 20), std::invalid_argument);
    EXPECT_THROW(AES("k", "i", 16, 8), std::invalid_argument);
    AES aes("0123456789abcdef", "fedcba9876543210");
    uint8_t buffer[20] = {};
    EXPECT_FALSE(aes.encrypt(buffer, buffer, 20, AES::CBC));
    EXPECT_FALSE(aes.decrypt(buffer, buffer, 17, AES::CBC));
    EXPECT_TRUE(aes.encrypt(buffer, buffer, 0, AES::CBC));
}

TEST(AesBase64, DecryptReturnsEveryTextWithoutZeroBytes) {
    std::mt19937 gen(7);
    std::uniform_int_distribution<size_t> length(2, 200);
    std::uniform_int_distribution<int> byte(1, 255);
    // Key and IV longer than 16 bytes: only the first 16 count.
    const std::string key = "0123456789abcdefIGNORED", iv = "abcdef0123456789";
    for (int i = 0; i < 300; ++i) {
        size_t n = i < 40 ? size_t(i) + 2 : length(gen);
        std::string plain(n, ' ');
        for (char& c : plain) c = char(byte(gen));
        const std::string text = aes_encrypt_base64(plain, key, iv);
        ASSERT_EQ(aes_decrypt_base64(text, key.substr(0, 16), iv), plain) << n << " bytes";
    }
    EXPECT_EQ(aes_decrypt_base64(aes_encrypt_base64("{\"a\":1}", key, iv), "wrong key 123456", iv)
                  .find("{\"a\""),
              std::string::npos);
}

TEST(AesBase64, OneCharacterIsEmptyAndSixteenGetAFullPaddingBlock) {
    const std::string key = "0123456789abcdef", iv = "fedcba9876543210";
    EXPECT_EQ(aes_encrypt_base64("x", key, iv), "");
    EXPECT_EQ(aes_encrypt_base64("", key, iv), "");
    const std::string text = aes_encrypt_base64("0123456789abcdef", key, iv);
    EXPECT_EQ(text.size(), 44u);
    EXPECT_EQ(base64_decode(text).size(), 32u);
    EXPECT_EQ(aes_decrypt_base64(text, key, iv), "0123456789abcdef");
}

TEST(AesBase64, DecryptHandlesPaddingBytesAsSpecified) {
    const std::string key = "0123456789abcdef", iv = "fedcba9876543210";
    auto encrypt_raw = [&](std::string block) {
        AES aes(key, iv);
        aes.encrypt(bytes_of(block), bytes_of(block), block.size(), AES::CBC);
        return base64_encode(block);
    };
    // Last byte 0 or above 16: no unpadding, text up to the first zero byte.
    EXPECT_EQ(
        aes_decrypt_base64(encrypt_raw(std::string("hello") + std::string(11, '\0')), key, iv),
        "hello");
    EXPECT_EQ(aes_decrypt_base64(encrypt_raw("ABCDEFGHIJKLMNOP"), key, iv), "ABCDEFGHIJKLMNOP");
    // A padding byte that disagrees with the ones before it clears everything.
    EXPECT_EQ(aes_decrypt_base64(encrypt_raw("ABCDEFGHIJKLM\x02\x03\x03"), key, iv), "");
    EXPECT_EQ(aes_decrypt_base64(encrypt_raw("ABCDEFGHIJKLMN\x02\x02"), key, iv), "ABCDEFGHIJKLMN");
    // Lengths that are not whole blocks are not decrypted, only unpadded.
    EXPECT_EQ(aes_decrypt_base64(base64_encode("abc\x01"), key, iv), "abc");
    EXPECT_EQ(aes_decrypt_base64(base64_encode("abc"), key, iv), "abc");
    // A padding byte larger than the buffer must not reach before its start.
    EXPECT_EQ(aes_decrypt_base64(base64_encode("a\x10"), key, iv), "");
    EXPECT_EQ(aes_decrypt_base64(base64_encode("a"), key, iv), "");
    EXPECT_EQ(aes_decrypt_base64("", key, iv), "");
    EXPECT_EQ(aes_decrypt_base64("!!!!", key, iv), "");
}

TEST(RandomToken, GivesLowercaseAlphanumericTextThatVaries) {
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        const std::string token = random_token(16);
        ASSERT_EQ(token.size(), 16u);
        EXPECT_EQ(token.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyz"),
                  std::string::npos);
        seen.insert(token);
    }
    EXPECT_EQ(seen.size(), 20u);
    EXPECT_EQ(random_token(0), "");
}

}  // namespace
