#pragma once

// A suite folder and its published release, for tests that run the engine against distserver.
//
//   castmill::test::TempDir dir;
//   castmill::test::ReleaseBuilder release(dir.path());
//   release.add_sample_suite();
//   release.add("Connect/extra.dll", "...");
//   release.publish("2.0.0");
//   castmill::test::DistServer server({.release = release.release_dir()});
//   server.set_host_environment();
//   ... run the engine; change a file and publish again: the server serves the new release ...
//
// The release folder keeps its path across publish() calls, so a running server picks up
// every new release. The manifest and the version answer can be replaced to craft answers
// that publish would never write.

#include <cstdint>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace castmill::test {

// The test release key pair kept in tests/keys; the default build pins its public key.
std::filesystem::path test_release_key_file();
std::string test_release_secret_key();
std::string test_release_public_key();

// A file of `size` zero bytes that takes no disk space; parent folders are created.
void make_sparse_file(const std::filesystem::path& file, uint64_t size);

class ReleaseBuilder {
public:
    // Keeps the suite files in work_dir/suite and the release in work_dir/release.
    explicit ReleaseBuilder(const std::filesystem::path& work_dir);

    // A few files of every module, under the folders the module catalogue assigns:
    // module 1 (VeloraBrowser, velora_cam, Update, VeloraOBS/7z), module 2 (VeloraOBS, dist),
    // module 4 (Connect). One name holds blanks.
    ReleaseBuilder& add_sample_suite();
    // Adds or replaces a suite file.
    ReleaseBuilder& add(const std::string& path, const std::string& content);
    // A file of `size` zero bytes that takes no disk space (sparse).
    ReleaseBuilder& add_sparse(const std::string& path, uint64_t size);
    ReleaseBuilder& remove(const std::string& path);

    // Publishes the suite as `version` (tools/publish) into release_dir(), replacing what
    // was there. extra: further publish arguments.
    void publish(const std::string& version = "2.0.0", const std::vector<std::string>& extra = {});
    // Publishes signed with the test key (publish --sign); a signed version answer names
    // its manifest by the absolute URL it is served at.
    void publish_signed(const std::string& version, const std::string& manifest_url,
                        const std::vector<std::string>& extra = {});
    // Signs a released document ("manifest.json", "version.json") again, as it is now: with
    // the test key, or with secret_key (base64) when given.
    void sign(const std::string& name, const std::string& secret_key = {}) const;

    // Later publish() calls write the compressed copies of the files too; off by default, so
    // that files are fetched by their own paths.
    void compress_files(bool on) { compress_ = on; }

    const std::filesystem::path& suite_dir() const { return suite_; }
    const std::filesystem::path& release_dir() const { return release_; }
    // Suite files by manifest path, with their content.
    const std::map<std::string, std::string>& files() const { return files_; }
    // The suite files whose module (by path) is among `modules`.
    std::map<std::string, std::string> files_of(int modules) const;

    nlohmann::json manifest() const;
    void set_manifest(const nlohmann::json& manifest) const;
    nlohmann::json version_answer() const;
    void set_version_answer(const nlohmann::json& answer) const;
    // Replaces a released file's bytes without touching the manifest.
    void overwrite_released_file(const std::string& path, const std::string& content) const;

private:
    std::filesystem::path work_;
    std::filesystem::path suite_;
    std::filesystem::path release_;
    std::map<std::string, std::string> files_;  // sparse files hold an empty string
    int published_ = 0;
    bool compress_ = false;
};

}  // namespace castmill::test
