#include <gtest/gtest.h>
#include <unzip.h>

#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "report/crypto.h"
#include "support/dist_server.h"
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
