#include "release_writer.h"

#include <zip.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <ctime>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <vector>

#include "base/crypto.h"
#include "base/release_signature.h"
#include "file_patches.h"
#include "setup/file_sources.h"

namespace castmill::tools {

namespace fs = std::filesystem;

namespace {

struct SourceFile {
    std::string rel;  // "/"-separated
    fs::path path;
    uint64_t size = 0;
    std::string md5;
};

struct ZipCloser {
    void operator()(zipFile z) const { zipClose(z, nullptr); }
};
using ZipHandle = std::unique_ptr<std::remove_pointer_t<zipFile>, ZipCloser>;

std::vector<SourceFile> collect(const fs::path& source) {
    std::vector<SourceFile> files;
    for (const auto& entry : fs::recursive_directory_iterator(source)) {
        if (entry.is_directory()) continue;
        if (!entry.is_regular_file()) {
            throw std::runtime_error("not a regular file: " + entry.path().string());
        }
        SourceFile f;
        f.path = entry.path();
        f.rel = fs::relative(entry.path(), source).generic_string();
        f.size = entry.file_size();
        files.push_back(std::move(f));
    }
    std::sort(files.begin(), files.end(),
              [](const SourceFile& a, const SourceFile& b) { return a.rel < b.rel; });
    return files;
}

void check_reserved(const std::vector<SourceFile>& files) {
    for (const std::string name :
         {kManifestName, kVersionAnswerName, kPackageZipName, kFullPackageName}) {
        for (const auto& f : files) {
            if (f.rel == name || f.rel == name + kSignatureSuffix) {
                throw std::runtime_error("the suite holds a file named " + f.rel +
                                         " at its top level, which the release itself uses");
            }
        }
    }
}

void write_text(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string read_text(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The raw deflate stream of data, or nothing when it is not smaller than data.
std::string deflated_if_smaller(const std::string& data) {
    // One deflate call takes at most 4 GiB: larger files are stored.
    if (data.size() >= 0xffffffffull) return {};
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, DEF_MEM_LEVEL,
                     Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("cannot start deflate");
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) throw std::runtime_error("cannot deflate");
    return out.size() < data.size() ? out : std::string();
}

void write_into_zip(zipFile zip, const std::string& bytes, const SourceFile& f) {
    for (size_t at = 0; at < bytes.size(); at += 1u << 30) {
        const auto n = static_cast<unsigned>(std::min<size_t>(bytes.size() - at, 1u << 30));
        if (zipWriteInFileInZip(zip, bytes.data() + at, n) != ZIP_OK)
            throw std::runtime_error("cannot write " + f.rel + " into the package zip");
    }
}

// An entry that deflating does not make smaller (random or already compressed data) is
// stored as it is, as zip tools do: unpacking it is then a plain copy.
void add_to_zip(zipFile zip, const SourceFile& f) {
    zip_fileinfo info{};
    // Entries carry a valid DOS date (the day of month starts at 1), taken from the file.
    const auto mtime = std::chrono::file_clock::to_sys(fs::last_write_time(f.path));
    const std::time_t t = std::chrono::system_clock::to_time_t(
        std::chrono::time_point_cast<std::chrono::system_clock::duration>(mtime));
    std::tm tm{};
    localtime_r(&t, &tm);
    info.tmz_date = tm_zip{static_cast<uInt>(tm.tm_sec),  static_cast<uInt>(tm.tm_min),
                           static_cast<uInt>(tm.tm_hour), static_cast<uInt>(tm.tm_mday),
                           static_cast<uInt>(tm.tm_mon),  static_cast<uInt>(tm.tm_year + 1900)};
    const int zip64 = f.size >= 0xffffffffull ? 1 : 0;
    const std::string data = read_text(f.path);
    const std::string deflated = deflated_if_smaller(data);
    const bool stored = deflated.empty();
    // Bit 11: the entry name is UTF-8. A deflated entry goes in raw, compressed once here.
    if (zipOpenNewFileInZip4_64(zip, f.rel.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                stored ? 0 : Z_DEFLATED, stored ? 0 : Z_DEFAULT_COMPRESSION,
                                stored ? 0 : 1, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY,
                                nullptr, 0, 0, 0x800, zip64) != ZIP_OK) {
        throw std::runtime_error("cannot add " + f.rel + " to the package zip");
    }
    write_into_zip(zip, stored ? data : deflated, f);
    int closed = ZIP_OK;
    if (stored) {
        closed = zipCloseFileInZip(zip);
    } else {
        uLong crc = crc32(0, nullptr, 0);
        for (size_t at = 0; at < data.size(); at += 1u << 30) {
            const auto n = static_cast<uInt>(std::min<size_t>(data.size() - at, 1u << 30));
            crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data() + at), n);
        }
        closed = zipCloseFileInZipRaw64(zip, data.size(), crc);
    }
    if (closed != ZIP_OK)
        throw std::runtime_error("cannot finish " + f.rel + " in the package zip");
}

std::string utc_now(std::time_t later = 0) {
    const std::time_t now = std::time(nullptr) + later;
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// The file's compressed form and its patches from earlier releases, into the release and
// the entry. A form is left out when a suite file has its name.
void add_smaller_forms(const SourceFile& f, const fs::path& target,
                       const std::set<std::string>& names,
                       const std::vector<PreviousRelease>& previous, bool compress,
                       const fs::path& out, nlohmann::json& entry, ReleaseSummary& summary) {
    const std::string suffix = velora::st::kZstdSuffix;
    uint64_t compressed = 0;
    if (compress && !names.count(f.rel + suffix)) {
        fs::path zst = target;
        zst += suffix;
        compressed = write_compressed(f.path, zst);
        if (compressed > 0) entry["compressedSize"] = compressed;
    }
    if (previous.empty()) return;
    const std::string sha256 = entry["sha256"].get<std::string>();
    // A patch earns its place only at half the size of what it saves fetching.
    const uint64_t limit = (compressed > 0 ? compressed : f.size) / 2;
    nlohmann::json patches = nlohmann::json::array();
    std::set<std::string> bases;
    for (const PreviousRelease& release : previous) {
        const auto found = release.entries.find(f.rel);
        if (found == release.entries.end()) continue;
        const fs::path old = release.dir / fs::path(f.rel);
        if (!fs::is_regular_file(old)) continue;
        const nlohmann::json& old_entry = found->second;
        std::string from = old_entry.value("sha256", std::string());
        if (!is_sha256_text(from)) from = file_digests(old).sha256;
        if (from.empty() || from == sha256 || !bases.insert(from).second) continue;
        const std::string patch = make_patch(old, f.path);
        if (patch.empty() || patch.size() > limit) continue;
        const std::string name = from + "-" + sha256 + suffix;
        const std::string rel = std::string(velora::st::kPatchFolder) + "/" + name;
        if (names.count(rel)) continue;
        fs::create_directories(out / velora::st::kPatchFolder);
        write_text(out / fs::path(rel), patch);
        patches.push_back({{"from_sha256", from},
                           {"from_hash", old_entry.value("hash", std::string())},
                           {"sha256", sha256_hex(patch)},
                           {"size", patch.size()}});
        summary.patches += 1;
        summary.patch_bytes += patch.size();
    }
    if (!patches.empty()) entry["patches"] = std::move(patches);
}

// {"fileSize", "sha256"} of a file a signed document names.
nlohmann::json signed_file_of(const fs::path& file) {
    return {{"fileSize", fs::file_size(file)}, {"sha256", file_digests(file).sha256}};
}

}  // namespace

void sign_file(const fs::path& file, const fs::path& key_file) {
    const std::string signature = sign_release_bytes(read_text(file), read_text(key_file));
    if (signature.empty())
        throw std::runtime_error("not a release secret key: " + key_file.string());
    fs::path out = file;
    out += kSignatureSuffix;
    write_text(out, signature + "\n");
}

void resign_version_answer(const fs::path& answer, const fs::path& key_file, int expires_days) {
    const std::string secret = read_text(key_file);
    const std::string public_key = public_key_of(secret);
    if (public_key.empty())
        throw std::runtime_error("not a release secret key: " + key_file.string());
    fs::path signature = answer;
    signature += kSignatureSuffix;
    const std::string text = read_text(answer);
    if (!verify_release_bytes(text, read_text(signature), public_key))
        throw std::runtime_error(answer.string() + " is not signed by " + key_file.string());
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    if (!parsed.is_object() || !parsed.contains("expires"))
        throw std::runtime_error(answer.string() + " is not a signed version answer");
    parsed["expires"] = utc_now(static_cast<std::time_t>(expires_days) * 86400);
    write_text(answer, parsed.dump(2) + "\n");
    sign_file(answer, key_file);
}

ReleaseSummary write_release(const ReleaseInput& input) {
    if (input.version.empty()) throw std::runtime_error("the version is empty");
    if (!fs::is_directory(input.source)) {
        throw std::runtime_error("source folder missing: " + input.source.string());
    }
    if (fs::exists(input.out) && !fs::is_empty(input.out)) {
        throw std::runtime_error("release folder is not empty: " + input.out.string());
    }
    const fs::path source = fs::canonical(input.source);
    const fs::path out = fs::weakly_canonical(input.out);
    const fs::path rel = out.lexically_relative(source);
    if (!rel.empty() && *rel.begin() != "..") {
        throw std::runtime_error("release folder lies inside the source folder");
    }
    const bool sign = !input.sign_key.empty();
    // The signed version answer is served byte for byte, so its url must be the final one.
    if (sign && input.manifest_url.find("://") == std::string::npos) {
        throw std::runtime_error("--sign needs an absolute --manifest-url");
    }
    if (sign && sign_release_bytes("", read_text(input.sign_key)).empty()) {
        throw std::runtime_error("not a release secret key: " + input.sign_key.string());
    }
    // A misspelt target would only show when every installer refuses the release.
    if (sign && input.platform != "windows" && input.platform != "linux")
        throw std::runtime_error("--platform must be windows or linux, not " + input.platform);
    if (!input.full_package.empty() && !fs::is_regular_file(input.full_package)) {
        throw std::runtime_error("full package missing: " + input.full_package.string());
    }

    std::vector<SourceFile> files = collect(source);
    check_reserved(files);
    std::set<std::string> names;
    for (const auto& f : files) names.insert(f.rel);
    std::vector<fs::path> previous_dirs = input.previous;
    if (previous_dirs.size() > input.previous_count)
        previous_dirs.erase(
            previous_dirs.begin(),
            previous_dirs.end() - static_cast<std::ptrdiff_t>(input.previous_count));
    const std::vector<PreviousRelease> previous = read_previous_releases(previous_dirs);
    fs::create_directories(out);

    nlohmann::json list = nlohmann::json::array();
    ReleaseSummary summary;
    for (auto& f : files) {
        f.md5 = md5_file_hex(f.path);
        if (f.md5.empty()) throw std::runtime_error("cannot read " + f.path.string());
        const fs::path target = out / fs::path(f.rel);
        fs::create_directories(target.parent_path());
        fs::copy_file(f.path, target);
        nlohmann::json entry{{"filePath", f.rel}, {"hash", f.md5}, {"fileSize", f.size}};
        // Patches are named by the content they make, so they need its digest.
        if (sign || !previous.empty()) entry["sha256"] = file_digests(f.path).sha256;
        add_smaller_forms(f, target, names, previous, input.compress, out, entry, summary);
        list.push_back(std::move(entry));
        summary.files += 1;
        summary.bytes += f.size;
    }
    {
        const std::string zip_path = (out / kPackageZipName).string();
        ZipHandle zip(zipOpen64(zip_path.c_str(), APPEND_STATUS_CREATE));
        if (!zip) throw std::runtime_error("cannot create " + zip_path);
        for (const auto& f : files) add_to_zip(zip.get(), f);
        zipFile raw = zip.release();
        if (zipClose(raw, nullptr) != ZIP_OK) throw std::runtime_error("cannot close " + zip_path);
    }

    nlohmann::json manifest{{"fileList", list}};
    if (sign) {
        // Signed with the manifest: which release it is, so that it cannot be replayed as
        // another one or over a newer installation, and the archive it may be fetched as.
        manifest["version"] = input.version;
        manifest["releaseTime"] = input.release_time.empty() ? utc_now() : input.release_time;
        manifest["package"] = signed_file_of(out / kPackageZipName);
        manifest["product"] = input.product;
        manifest["platform"] = input.platform;
    }
    write_text(out / kManifestName, manifest.dump(2) + "\n");

    // A relative url is resolved by the server against the address it serves the release at.
    const std::string url = input.manifest_url.empty() ? kManifestName : input.manifest_url;
    nlohmann::json answer{{"hasUpdate", true}, {"version", input.version}, {"url", url}};
    // A signed answer holds only for a while: an old one replayed cannot freeze a client.
    if (sign) {
        answer["expires"] = utc_now(static_cast<std::time_t>(input.expires_days) * 86400);
        answer["releaseTime"] = manifest["releaseTime"];
        answer["product"] = input.product;
        answer["platform"] = input.platform;
    }
    if (!input.full_package.empty()) {
        // The installer runs only the full installer the signed answer names.
        answer["fullPackage"] = signed_file_of(input.full_package);
        answer["fullPackage"]["path"] = kFullPackagePath;
    }
    write_text(out / kVersionAnswerName, answer.dump(2) + "\n");

    if (sign) {
        sign_file(out / kManifestName, input.sign_key);
        sign_file(out / kVersionAnswerName, input.sign_key);
    }
    if (!input.full_package.empty()) fs::copy_file(input.full_package, out / kFullPackageName);
    return summary;
}

}  // namespace castmill::tools
