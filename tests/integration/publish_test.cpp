#include <gtest/gtest.h>
#include <unzip.h>

#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "base/crypto.h"
#include "base/release_signature.h"
#include "support/dist_server.h"
#include "support/release_builder.h"
#include "support/test_env.h"

namespace castmill::test {
namespace {

namespace fs = std::filesystem;

struct UnzCloser {
    void operator()(unzFile z) const { unzClose(z); }
};

// Every entry of the archive with its content; a CRC mismatch fails the test.
std::map<std::string, std::string> read_zip(const fs::path& zip) {
    std::map<std::string, std::string> entries;
    std::unique_ptr<std::remove_pointer_t<unzFile>, UnzCloser> z(unzOpen64(zip.c_str()));
    EXPECT_TRUE(z) << zip;
    if (!z) return entries;
    for (int rc = unzGoToFirstFile(z.get()); rc == UNZ_OK; rc = unzGoToNextFile(z.get())) {
        char name[512];
        unz_file_info64 info;
        EXPECT_EQ(
            unzGetCurrentFileInfo64(z.get(), &info, name, sizeof name, nullptr, 0, nullptr, 0),
            UNZ_OK);
        EXPECT_EQ(unzOpenCurrentFile(z.get()), UNZ_OK);
        std::string content;
        char buf[4096];
        int n;
        while ((n = unzReadCurrentFile(z.get(), buf, sizeof buf)) > 0) content.append(buf, n);
        EXPECT_EQ(n, 0) << name;
        EXPECT_EQ(unzCloseCurrentFile(z.get()), UNZ_OK) << name;  // checks the CRC
        entries[name] = content;
    }
    return entries;
}

nlohmann::json read_json(const fs::path& file) { return nlohmann::json::parse(read_file(file)); }

TEST(PublishTest, SignedReleaseCarriesDigestsReleaseAndSignaturesOverTheExactBytes) {
    TempDir dir;
    write_file(dir / "suite/VeloraOBS/obs.dll", "obs");
    const std::string url = "https://cdn.example/r/manifest.json";
    const ProgramRun run =
        run_program(bin_dir() / "publish",
                    {"--source", (dir / "suite").string(), "--version", "3.1.0", "--out",
                     (dir / "release").string(), "--manifest-url", url, "--sign",
                     test_release_key_file().string(), "--release-time", "2026-12-09T03:00:00Z"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const nlohmann::json manifest = read_json(dir / "release/manifest.json");
    EXPECT_EQ(manifest["version"], "3.1.0");
    EXPECT_EQ(manifest["releaseTime"], "2026-12-09T03:00:00Z");
    EXPECT_EQ(manifest["fileList"][0]["sha256"], sha256_hex("obs"));
    EXPECT_EQ(manifest["fileList"][0]["hash"], md5_hex("obs"));
    EXPECT_EQ(read_json(dir / "release/version.json")["url"], url);
    for (const char* name : {"manifest.json", "version.json"}) {
        const fs::path file = dir / "release" / name;
        EXPECT_TRUE(verify_release_bytes(read_file(file), read_file(file.string() + ".sig"),
                                         test_release_public_key()))
            << name;
    }
}

// The daily job: a fresh expiry on the same answer, signed again, the release untouched.
TEST(PublishTest, ResigningTheVersionAnswerRenewsOnlyItsExpiry) {
    TempDir dir;
    write_file(dir / "suite/a.txt", "a");
    const std::string key = test_release_key_file().string();
    ASSERT_EQ(
        run_program(bin_dir() / "publish", {"--source", (dir / "suite").string(), "--version", "1",
                                            "--out", (dir / "release").string(), "--manifest-url",
                                            "https://h/m.json", "--sign", key, "--expires", "1"})
            .exit_code,
        0);
    const fs::path answer = dir / "release/version.json";
    const fs::path signature = dir / "release/version.json.sig";
    nlohmann::json before = read_json(answer);
    const auto resign = [&] {
        return run_program(bin_dir() / "publish", {"--resign-version-answer", answer.string(),
                                                   "--sign", key, "--expires", "30"});
    };
    ProgramRun run = resign();
    ASSERT_EQ(run.exit_code, 0) << run.err;
    nlohmann::json after = read_json(answer);
    EXPECT_GT(after["expires"].get<std::string>(), before["expires"].get<std::string>());
    after.erase("expires");
    before.erase("expires");
    EXPECT_EQ(after, before);
    EXPECT_TRUE(
        verify_release_bytes(read_file(answer), read_file(signature), test_release_public_key()));

    // An answer changed since it was signed is not signed again.
    const std::string signed_text = read_file(answer);
    write_file(answer, signed_text + " ");
    run = resign();
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("is not signed by"), std::string::npos) << run.err;
    EXPECT_EQ(read_file(answer), signed_text + " ");
}

TEST(PublishTest, SigningNeedsAnAbsoluteManifestUrlAndASecretKey) {
    TempDir dir;
    write_file(dir / "suite/a.txt", "a");
    write_file(dir / "public.key", test_release_public_key() + "\n");
    const auto publish = [&](std::vector<std::string> extra) {
        std::vector<std::string> args{"--source", (dir / "suite").string(),  "--version", "1.0.0",
                                      "--out",    (dir / "release").string()};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_program(bin_dir() / "publish", args);
    };
    ProgramRun run = publish({"--sign", test_release_key_file().string()});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("--sign needs an absolute --manifest-url"), std::string::npos)
        << run.err;
    run = publish({"--sign", (dir / "public.key").string(), "--manifest-url", "https://h/m.json"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("not a release secret key"), std::string::npos) << run.err;
    run = publish({"--sign", test_release_key_file().string(), "--manifest-url", "https://h/m.json",
                   "--platform", "window"});
    EXPECT_NE(run.err.find("--platform must be windows or linux, not window"), std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(dir / "release/manifest.json"));

    // The vendor's key maker: a secret the publisher takes, readable by its owner only.
    run = run_program(bin_dir() / "releasekey", {"--out", (dir / "vendor.key").string()});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(fs::status(dir / "vendor.key").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(run.out, read_file(dir / "vendor.key.pub"));
    EXPECT_TRUE(is_release_public_key(run.out));
    run = publish({"--sign", (dir / "vendor.key").string(), "--manifest-url", "https://h/m.json"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(
        run_program(bin_dir() / "releasekey", {"--out", (dir / "vendor.key").string()}).exit_code,
        1);
}

TEST(PublishTest, WritesManifestFilesPackageZipAndVersionAnswer) {
    TempDir dir;
    const std::map<std::string, std::string> suite{
        {"castmill.exe", std::string(70000, 'x') + "end"},
        {"VeloraOBS/bin/64bit/obs 64.exe", std::string("\0\1\2\3", 4)},
        {"VeloraOBS/data/locale/\xc3\xa9t\xc3\xa9.ini", "Title=Castmill\n"},
        {"Connect/empty.txt", ""},
    };
    for (const auto& [path, content] : suite) write_file(dir / "suite" / path, content);
    fs::create_directories(dir / "suite/VeloraOBS/empty-folder");

    const ProgramRun run =
        run_program(bin_dir() / "publish", {"--source", (dir / "suite").string(), "--version",
                                            "3.1.0", "--out", (dir / "release").string()});
    ASSERT_EQ(run.exit_code, 0) << (run.out + run.err);
    EXPECT_NE((run.out + run.err).find("published 4 files"), std::string::npos)
        << (run.out + run.err);

    const auto list = read_json(dir / "release/manifest.json").at("fileList");
    ASSERT_EQ(list.size(), suite.size());
    auto expected = suite.begin();
    for (const auto& entry : list) {
        // Sorted by path, "/"-separated, as the manifest lists them.
        EXPECT_EQ(entry.at("filePath"), expected->first);
        EXPECT_EQ(entry.at("hash"), md5_hex(expected->second));
        EXPECT_EQ(entry.at("fileSize"), expected->second.size());
        EXPECT_EQ(read_file(dir / "release" / expected->first), expected->second);
        ++expected;
    }

    const auto entries = read_zip(dir / "release/Castmill_winUpdate.zip");
    EXPECT_EQ(entries, suite);

    const auto version = read_json(dir / "release/version.json");
    EXPECT_EQ(version.at("hasUpdate"), true);
    EXPECT_EQ(version.at("version"), "3.1.0");
    EXPECT_EQ(version.at("url"), "manifest.json");
    EXPECT_FALSE(fs::exists(dir / "release/Castmill_full_package.exe"));
}

TEST(PublishTest, KeepsAnAbsoluteManifestUrlAndTheFullPackage) {
    TempDir dir;
    write_file(dir / "suite/castmill.exe", "app");
    write_file(dir / "installer.exe", "full installer");
    publish_release(dir / "suite", "3.1.0", dir / "release",
                    {"--manifest-url", "https://download.example.test/r/7/manifest.json",
                     "--full-package", (dir / "installer.exe").string()});
    EXPECT_EQ(read_json(dir / "release/version.json").at("url"),
              "https://download.example.test/r/7/manifest.json");
    EXPECT_EQ(read_file(dir / "release/Castmill_full_package.exe"), "full installer");
}

TEST(PublishTest, RefusesBadInputAndWritesNothing) {
    TempDir dir;
    write_file(dir / "suite/castmill.exe", "app");
    write_file(dir / "used/old.txt", "keep me");
    write_file(dir / "clash/manifest.json", "{}");
    const auto publish = [&](std::vector<std::string> args) {
        return run_program(bin_dir() / "publish", args);
    };
    const std::string suite = (dir / "suite").string();

    ProgramRun run =
        publish({"--source", suite, "--version", "1", "--out", (dir / "used").string()});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE((run.out + run.err).find("not empty"), std::string::npos) << (run.out + run.err);
    EXPECT_EQ(read_file(dir / "used/old.txt"), "keep me");
    EXPECT_FALSE(fs::exists(dir / "used/manifest.json"));

    run = publish({"--source", suite, "--version", "1", "--out", (dir / "suite/rel").string()});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE((run.out + run.err).find("inside the source"), std::string::npos)
        << (run.out + run.err);
    EXPECT_FALSE(fs::exists(dir / "suite/rel"));

    run = publish(
        {"--source", (dir / "clash").string(), "--version", "1", "--out", (dir / "out1").string()});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE((run.out + run.err).find("manifest.json"), std::string::npos) << (run.out + run.err);
    EXPECT_FALSE(fs::exists(dir / "out1"));

    run = publish({"--source", (dir / "missing").string(), "--version", "1", "--out",
                   (dir / "out2").string()});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE((run.out + run.err).find("source folder missing"), std::string::npos)
        << (run.out + run.err);

    run = publish({"--source", suite, "--out", (dir / "out3").string()});
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_NE((run.out + run.err).find("usage"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "out3"));
}

}  // namespace
}  // namespace castmill::test
