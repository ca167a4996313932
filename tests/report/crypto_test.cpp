#include "report/crypto.h"

#include <gtest/gtest.h>

#include <string>

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
    EXPECT_EQ(md5_file_hex(dir / "empty.bin"), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_file_hex(dir / "missing.bin"), "");
    EXPECT_EQ(md5_file_hex(dir.path()), "");
}

}  // namespace
