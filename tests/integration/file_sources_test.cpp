#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "base/crypto.h"
#include "base/release_signature.h"
#include "layout/launch_options.h"
#include "setup/setup_center.h"
#include "support/dist_server.h"
#include "support/fast_timings.h"
#include "support/release_builder.h"
#include "support/test_env.h"
#include "sys/folders.h"

namespace castmill::test {
namespace {

namespace fs = std::filesystem;
using velora::st::SetupCenter;

const std::string kLibrary = "VeloraOBS/bin/64bit/libbig.dll";

// Text of words from a small vocabulary: it compresses, and a few changed words and one
// new block make a small patch.
std::string library_content(unsigned seed, size_t changed_words, size_t new_bytes) {
    std::mt19937 words(7);
    std::vector<std::string> vocabulary(4000);
    for (auto& word : vocabulary) {
        for (int i = 0; i < 6; ++i) word += static_cast<char>('a' + words() % 26);
    }
    std::mt19937 pick(1);
    std::string text;
    while (text.size() < 300000) text += vocabulary[pick() % vocabulary.size()] + " ";
    std::mt19937 change(seed);
    for (size_t i = 0; i < changed_words; ++i)
        text.replace(change() % (text.size() - 6), 6, "CHANGE");
    std::string block(new_bytes, '\0');
    for (auto& c : block) c = static_cast<char>(change());
    text.insert(text.size() / 2, block);
    return text;
}

// Release 1.0.0 is installed; release 2.0.0 changes one library and is published with
// patches from 1.0.0.
class FileSources : public ::testing::Test {
protected:
    void SetUp() override {
        // Earlier tests' download folders would supply the content.
        fs::remove_all(*velora::sys::temp_directory() / "castmill");
        release_.compress_files(true);
        release_.add_sample_suite();
        release_.add(kLibrary, old_);
        release_.publish("1.0.0");
        fs::copy(release_.release_dir(), previous_, fs::copy_options::recursive);
        for (const auto& [path, content] : release_.files_of(3))
            write_file(dir_.path() / "Castmill" / path, content);
        release_.add(kLibrary, new_);
        release_.publish("2.0.0", {"--previous", previous_.string()});
        DistServerOptions options;
        options.release = release_.release_dir();
        server_ = std::make_unique<DistServer>(options);
        server_->set_host_environment();
    }

    nlohmann::json& library_entry(nlohmann::json& manifest) const {
        for (auto& entry : manifest["fileList"]) {
            if (entry["filePath"] == kLibrary) return entry;
        }
        throw std::runtime_error("no library entry");
    }

    std::string patch_name() {
        auto manifest = release_.manifest();
        const auto& entry = library_entry(manifest);
        return "patches/" + entry["patches"][0]["from_sha256"].get<std::string>() + "-" +
               entry["sha256"].get<std::string>() + ".zst";
    }

    // Serves `bytes` as the library's patch, the manifest naming their digest and size.
    void replace_patch(const std::string& bytes) {
        release_.overwrite_released_file(patch_name(), bytes);
        auto manifest = release_.manifest();
        auto& patch = library_entry(manifest)["patches"][0];
        patch["sha256"] = sha256_hex(bytes);
        patch["size"] = bytes.size();
        release_.set_manifest(manifest);
    }

    // A patch that publish makes from `from` to `to` (files of the library).
    std::string made_patch(const std::string& from, const std::string& to) {
        TempDir work;
        ReleaseBuilder builder(work.path());
        builder.compress_files(true);
        builder.add(kLibrary, from).publish("1.0.0");
        const fs::path earlier = work.path() / "earlier";
        fs::copy(builder.release_dir(), earlier, fs::copy_options::recursive);
        builder.add(kLibrary, to).publish("2.0.0", {"--previous", earlier.string()});
        for (const auto& file : fs::directory_iterator(builder.release_dir() / "patches"))
            return read_file(file.path());
        throw std::runtime_error("publish made no patch");
    }

    // Runs initialize and download; returns the library's GET paths in order.
    std::vector<std::string> update(int expected_result = 0) {
        server_->clear_requests();
        center_ = std::make_unique<SetupCenter>(fast_timings());
        velora::st::LaunchOptions options;
        options.install_dir = dir_.path() / "Castmill";
        options.modules = 3;
        std::string message;
        EXPECT_EQ(center_->initialize(options, message), 0) << message;
        EXPECT_EQ(center_->download_files({}, message), expected_result) << message;
        std::vector<std::string> paths;
        for (const auto& request : server_->requests()) {
            for (const std::string& file : {kLibrary, kLibrary + ".zst", patch_name()}) {
                if (request.path == server_->release_path_of(file)) paths.push_back(file);
            }
        }
        return paths;
    }

    std::string downloaded_library() const {
        return read_file(center_->download_dir() / md5_hex(new_));
    }

    // Nothing but finished downloads stays behind a run.
    bool sources_folder_is_empty() const {
        std::error_code ec;
        return fs::is_empty(center_->download_dir() / "sources", ec) || ec;
    }

    TempDir dir_;
    ReleaseBuilder release_{dir_.path()};
    const fs::path previous_ = dir_.path() / "release-1.0.0";
    const std::string old_ = library_content(2, 0, 0);
    const std::string new_ = library_content(3, 40, 5000);
    std::unique_ptr<DistServer> server_;
    std::unique_ptr<SetupCenter> center_;
};

TEST_F(FileSources, AChangedFileIsPatchedFromTheInstalledOne) {
    auto manifest = release_.manifest();
    const auto& entry = library_entry(manifest);
    ASSERT_EQ(entry["patches"].size(), 1u);
    EXPECT_LT(entry["patches"][0]["size"].get<int64_t>() * 2,
              entry["compressedSize"].get<int64_t>());
    EXPECT_EQ(entry["patches"][0]["from_hash"], md5_hex(old_));

    EXPECT_EQ(update(), std::vector<std::string>{patch_name()});
    EXPECT_EQ(downloaded_library(), new_);
    EXPECT_TRUE(sources_folder_is_empty());
    // A file that is not installed comes compressed.
    fs::remove(dir_.path() / "Castmill" / kLibrary);
    fs::remove_all(center_->download_dir());
    EXPECT_EQ(update(), std::vector<std::string>{kLibrary + ".zst"});
    EXPECT_EQ(downloaded_library(), new_);
}

// Whatever is wrong with a patch, the compressed file replaces it; whatever is wrong with
// that, the file itself. Nothing unchecked takes the file's name.
TEST_F(FileSources, EachFailingSourceIsReplacedByTheNext) {
    const std::string compressed = kLibrary + ".zst";
    const std::string other = library_content(3, 40, 5000).replace(10, 6, "OTHERS");
    const std::string original_patch = read_file(release_.release_dir() / patch_name());
    struct Case {
        const char* what;
        std::string patch;
    };
    const std::vector<Case> cases = {
        {"output not the signed content", made_patch(old_, other)},
        {"patch for another base", made_patch(library_content(9, 200, 3000), new_)},
        {"truncated patch", original_patch.substr(0, original_patch.size() / 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        replace_patch(c.patch);
        if (center_) fs::remove_all(center_->download_dir());
        EXPECT_EQ(update(), (std::vector<std::string>{patch_name(), compressed}));
        EXPECT_EQ(downloaded_library(), new_);
        EXPECT_TRUE(sources_folder_is_empty());
    }

    // A compressed file that does not decode, its size unchanged.
    std::string broken = read_file(release_.release_dir() / compressed);
    for (size_t i = 100; i < broken.size(); i += 97) broken[i] = static_cast<char>(~broken[i]);
    release_.overwrite_released_file(compressed, broken);
    fs::remove_all(center_->download_dir());
    EXPECT_EQ(update(), (std::vector<std::string>{patch_name(), compressed, kLibrary}));
    EXPECT_EQ(downloaded_library(), new_);
    EXPECT_TRUE(sources_folder_is_empty());
}

TEST_F(FileSources, ACutPatchDownloadIsResumedByTheNextRun) {
    const std::string patch = patch_name();
    const int64_t size = static_cast<int64_t>(fs::file_size(release_.release_dir() / patch));
    ASSERT_GT(size, 4000);
    server_->cut_after(server_->release_path_of(patch), 1000);
    for (const std::string& file : {kLibrary + ".zst", kLibrary})
        server_->fail_next(server_->release_path_of(file), 500, 100);
    update(2100 + 103);  // the file itself refused: kDownloadHttpError
    const fs::path partial = center_->download_dir() / "sources" / fs::path(patch).filename();
    ASSERT_EQ(fs::file_size(partial), 3000u);  // three cut attempts

    server_->clear_faults();
    EXPECT_EQ(update(), std::vector<std::string>{patch});
    EXPECT_EQ(server_->requests().back().range, "bytes=3000-");
    EXPECT_EQ(downloaded_library(), new_);
}

}  // namespace
}  // namespace castmill::test
