#include "support/release_builder.h"

#include <fstream>
#include <stdexcept>

#include "base/release_signature.h"
#include "layout/modules.h"
#include "support/dist_server.h"
#include "support/test_env.h"

namespace castmill::test {

namespace fs = std::filesystem;

ReleaseBuilder::ReleaseBuilder(const fs::path& work_dir)
    : work_(work_dir), suite_(work_dir / "suite"), release_(work_dir / "release") {
    fs::create_directories(suite_);
}

ReleaseBuilder& ReleaseBuilder::add_sample_suite() {
    add("VeloraBrowser/castmill.exe", std::string(20000, 'b') + "browser");
    add("VeloraBrowser/locales/en US.pak", "locale with a blank in its name");
    add("velora_cam/cam.dll", std::string(3000, 'c'));
    add("Update/config.json", R"({"gver":"2.0.0"})");
    add("VeloraOBS/7z/7z.exe", "seven zip");
    add("VeloraOBS/bin/64bit/obs64.exe", std::string(40000, 'o') + "obs");
    add("VeloraOBS/data/locale/en-US.ini", "Title=Castmill\n");
    add("dist/plugin.js", "console.log('plugin');\n");
    add("Connect/connect.exe", std::string(5000, 'n'));
    return *this;
}

ReleaseBuilder& ReleaseBuilder::add(const std::string& path, const std::string& content) {
    write_file(suite_ / path, content);
    files_[path] = content;
    return *this;
}

void make_sparse_file(const fs::path& file, uint64_t size) {
    if (file.has_parent_path()) fs::create_directories(file.parent_path());
    // Growing an empty file leaves a hole where the file system supports one.
    std::ofstream(file, std::ios::binary | std::ios::trunc).close();
    std::error_code ec;
    fs::resize_file(file, size, ec);
    if (ec) throw std::runtime_error("cannot make sparse file " + file.string());
}

ReleaseBuilder& ReleaseBuilder::add_sparse(const std::string& path, uint64_t size) {
    make_sparse_file(suite_ / path, size);
    files_[path] = std::string();
    return *this;
}

ReleaseBuilder& ReleaseBuilder::remove(const std::string& path) {
    fs::remove(suite_ / path);
    files_.erase(path);
    return *this;
}

fs::path test_release_key_file() { return source_dir() / "tests" / "keys" / "release_test.key"; }

std::string test_release_secret_key() { return read_file(test_release_key_file()); }

std::string test_release_public_key() {
    std::string key = read_file(source_dir() / "tests" / "keys" / "release_test.pub");
    while (!key.empty() && (key.back() == '\n' || key.back() == '\r')) key.pop_back();
    return key;
}

void ReleaseBuilder::publish_signed(const std::string& version, const std::string& manifest_url,
                                    const std::vector<std::string>& extra) {
    std::vector<std::string> arguments{"--sign", test_release_key_file().string(), "--manifest-url",
                                       manifest_url};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    publish(version, arguments);
}

void ReleaseBuilder::sign(const std::string& name, const std::string& secret_key) const {
    const std::string key = secret_key.empty() ? test_release_secret_key() : secret_key;
    const std::string signature = sign_release_bytes(read_file(release_ / name), key);
    if (signature.empty()) throw std::runtime_error("not a secret key");
    write_file(release_ / (name + ".sig"), signature + "\n");
}

void ReleaseBuilder::publish(const std::string& version, const std::vector<std::string>& extra) {
    const fs::path staging = work_ / ("staging-" + std::to_string(++published_));
    std::vector<std::string> arguments = extra;
    if (!compress_) arguments.push_back("--no-compress");
    publish_release(suite_, version, staging, arguments);
    // Same folder every time, so a server started on it serves the new release.
    fs::remove_all(release_);
    fs::rename(staging, release_);
}

std::map<std::string, std::string> ReleaseBuilder::files_of(int modules) const {
    std::map<std::string, std::string> selected;
    for (const auto& [path, content] : files_) {
        if (velora::st::module_of_path(path) & modules) selected.emplace(path, content);
    }
    return selected;
}

nlohmann::json ReleaseBuilder::manifest() const {
    return nlohmann::json::parse(read_file(release_ / "manifest.json"));
}

void ReleaseBuilder::set_manifest(const nlohmann::json& manifest) const {
    write_file(release_ / "manifest.json", manifest.dump(2) + "\n");
}

nlohmann::json ReleaseBuilder::version_answer() const {
    return nlohmann::json::parse(read_file(release_ / "version.json"));
}

void ReleaseBuilder::set_version_answer(const nlohmann::json& answer) const {
    write_file(release_ / "version.json", answer.dump(2) + "\n");
}

void ReleaseBuilder::overwrite_released_file(const std::string& path,
                                             const std::string& content) const {
    write_file(release_ / path, content);
}

}  // namespace castmill::test
