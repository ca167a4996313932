// Writes the seed corpus of every fuzz target: make_seeds OUT_DIR makes OUT_DIR/<target>/.
// The seeds are what the system really exchanges: a sample suite published by the release
// builder (manifest, version answer, package archive), the record and setup data the
// engine writes for it, the signed version answer, a key file, the shipped locale files and
// JSONTestSuite's valid documents.

#include <zip.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/crypto.h"
#include "report/log_key.h"
#include "setup/download_planning.h"
#include "setup/install_record.h"
#include "setup/setup_center.h"
#include "setup/setup_data.h"
#include "support/release_builder.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using castmill::test::read_file;
using castmill::test::write_file;

struct Entry {
    std::string name;
    std::string content;
    int method = Z_DEFLATED;
};

void make_zip(const fs::path& path, const std::vector<Entry>& entries) {
    fs::create_directories(path.parent_path());
    zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    if (zip == nullptr) throw std::runtime_error("cannot write " + path.string());
    for (const Entry& entry : entries) {
        zip_fileinfo info{};
        zipOpenNewFileInZip64(zip, entry.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                              entry.method, Z_DEFAULT_COMPRESSION, 0);
        zipWriteInFileInZip(zip, entry.content.data(), static_cast<unsigned>(entry.content.size()));
        zipCloseFileInZip(zip);
    }
    zipClose(zip, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUT_DIR\n");
        return 2;
    }
    const fs::path out = argv[1];
    castmill::test::TempDir work;
    castmill::test::ReleaseBuilder release(work.path());
    release.add_sample_suite();
    release.publish("2.0.0");
    const fs::path released = release.release_dir();
    const std::string manifest = read_file(released / "manifest.json");
    const std::string version_answer = read_file(released / "version.json");

    // The engine's own files for that release.
    const fs::path download = work / "download";
    const fs::path install = work / "Castmill";
    velora::st::SetupCenter center;
    fs::create_directories(download);
    center.use_download_dir(download);
    center.set_target({.install_dir = install, .modules = 7});
    std::string message;
    if (center.plan_manifest(manifest, message) != 0) {
        std::fprintf(stderr, "the sample manifest does not plan: %s\n", message.c_str());
        return 1;
    }
    velora::st::DownloadedRecord downloaded;
    for (const auto& [module, list] : center.plan().install_lists) {
        for (const velora::st::FileEntry& entry : list) downloaded.add(entry);
    }
    downloaded.save(download);
    const std::string record = read_file(download / velora::st::kDownloadRecordName);
    center.set_release(velora::st::Release("2.0.0", "http://127.0.0.1:8080/release/manifest.json"));
    fs::create_directories(install / "Update");
    center.save_setup_data();
    const std::string setup_data = read_file(velora::st::setup_data_path(install));
    velora::st::InstallRecord installed;
    int64_t modified = 133'000'000'000'000'000;
    for (const auto& [path, entry] : downloaded.files())
        installed[path] = {entry.fileSize, modified++, entry.hash};
    velora::st::write_install_record(install, installed);
    const std::string install_record = read_file(velora::st::install_record_path(install));

    write_file(out / "json/manifest.json", manifest);
    write_file(out / "json/version.json", version_answer);
    write_file(out / "json/downloaded.json", record);
    write_file(out / "json/setup.data", setup_data);
    const fs::path suite = castmill::test::source_dir() / "tests/data/JSONTestSuite/test_parsing";
    for (const auto& file : fs::directory_iterator(suite)) {
        const std::string name = file.path().filename().string();
        if (name.starts_with("y_"))
            fs::copy_file(file.path(), out / "json" / name, fs::copy_options::overwrite_existing);
    }

    write_file(out / "manifest/modules-7", "\x07" + manifest);
    write_file(out / "manifest/modules-2", "\x02" + manifest);
    write_file(out / "downloaded_record/downloaded.json", record);
    write_file(out / "install_record/install_record.json", install_record);
    write_file(out / "json/install_record.json", install_record);
    write_file(out / "setup_data/setup.data", std::string(1, '\0') + setup_data);
    write_file(out / "setup_data/config.json", "\x01" + read_file(released / "Update/config.json"));

    const std::map<std::string, LogKeyEntry> credentials{{"1.0.0", {"castmill-e2e", "e2e-secret"}},
                                                         {"2.0.0", {"id-2", "secret-2"}}};
    write_file(out / "log_key/log.key", std::string(1, '\0') + make_log_key(credentials));
    write_file(out / "log_key/plaintext", "\x01" + log_key_plaintext(credentials));

    write_file(out / "crypto/key-file", make_log_key(credentials));
    write_file(out / "crypto/signature",
               aes_encrypt_base64("0cc175b9c0f1b6a831c399e269772661-#-1700000000000",
                                  "castmill-e2e", "e2e-secret"));
    write_file(out / "crypto/padded", base64_encode("ab") + "==trailing");

    write_file(out / "launch_options/update",
               "C:\\Castmill\\setup.exe;--install_dir=Folder;--modules=3");
    write_file(out / "launch_options/short", "setup;-d= Folder ;-m=0x3;--silent;--no-launch");
    write_file(out / "launch_options/quoted", "\"C:\\Program Files\\setup.exe\";\"--modules=-5\";");
    write_file(out / "launch_options/empty", "");

    fs::create_directories(out / "localizer");
    for (const auto& file :
         fs::directory_iterator(castmill::test::source_dir() / "resources/locale")) {
        fs::copy_file(file.path(), out / "localizer" / file.path().filename(),
                      fs::copy_options::overwrite_existing);
    }

    fs::create_directories(out / "zip");
    fs::copy_file(released / "Castmill_winUpdate.zip", out / "zip/package.zip",
                  fs::copy_options::overwrite_existing);
    make_zip(out / "zip/folders.zip", {{"bin/", ""}, {"bin/app.dll", "app"}, {"a\\b.txt", "b"}});
    make_zip(out / "zip/stored.zip", {{"stored.txt", std::string(300, 's'), 0}, {"empty", ""}});
    make_zip(out / "zip/climbing.zip", {{"ok.txt", "ok"}, {"x/../../evil.txt", "evil"}});

    // The version answers: unsigned as above, and signed with every member a signing build
    // reads (expiry, release time, product, platform, the full installer).
    write_file(work / "full_package.exe", "full installer");
    release.publish_signed("2.0.0", "http://127.0.0.1:8080/release/manifest.json",
                           {"--full-package", (work / "full_package.exe").string()});
    const std::string signed_answer = read_file(release.release_dir() / "version.json");
    write_file(out / "version_answer/unsigned", std::string(1, '\0') + version_answer);
    write_file(out / "version_answer/signed", "\x01" + signed_answer);
    write_file(out / "version_answer/signed-unpinned", std::string(1, '\0') + signed_answer);
    write_file(out / "json/signed-version.json", signed_answer);
    return 0;
}
