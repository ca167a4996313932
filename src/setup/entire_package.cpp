#include "setup/entire_package.h"

#include <unzip.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <memory>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "base/crypto.h"
#include "base/logger.h"
#include "base/result_codes.h"
#include "base/sha256.h"
#include "setup/install_files.h"
#include "setup/release_trust.h"
#include "setup/setup_center.h"
#include "sys/error_code.h"
#include "sys/files.h"
#include "sys/folders.h"

namespace velora::st {

namespace fs = std::filesystem;

namespace {

// Large enough that an entry goes out in few writes.
constexpr size_t kReadBufferSize = 1 << 20;
constexpr int kExtractDirCandidates = 10;
constexpr unsigned long kDirectoryAttribute = 16;

struct ZipCloser {
    void operator()(void* zip) const { unzClose(zip); }
};
using ZipHandle = std::unique_ptr<void, ZipCloser>;

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

bool is_separator(char c) { return c == '/' || c == '\\'; }

int make_directory(const fs::path& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!ec) return kUnzipOk;
    log_tagged(kLogWarning, "create_directories: %s failed:%d", utf8_of(dir), sys::system_code(ec));
    return kUnzipMakeDirFailed;
}

// Writes the current entry's data to target. The entry must yield exactly its declared
// size: minizip checks the CRC only once that many bytes were read, so a stream that ends
// early would otherwise pass unchecked.
int extract_entry(unzFile zip, const fs::path& target, uint64_t declared_size,
                  std::vector<char>& data, Md5* md5, Sha256* sha) {
    const fs::path parent = target.parent_path();
    if (!parent.empty()) {
        const int made = make_directory(parent);
        if (made != kUnzipOk) return made;
    }
    FileHandle out(sys::open_file(target, "wb"));
    if (!out) {
        log_tagged(kLogWarning, "open output file: %s failed:%d", utf8_of(target),
                   sys::last_system_code());
        return kUnzipOpenOutputFailed;
    }
    if (unzOpenCurrentFile(zip) != UNZ_OK) return kUnzipOpenEntryFailed;
    char* buffer = data.data();
    uint64_t written = 0;
    for (;;) {
        const int count = unzReadCurrentFile(zip, buffer, static_cast<unsigned>(data.size()));
        if (count < 0) {
            unzCloseCurrentFile(zip);
            log_tagged(kLogWarning, "read zip entry: %s failed:%d", utf8_of(target), count);
            return kUnzipReadFailed;
        }
        if (count == 0) break;
        written += static_cast<uint64_t>(count);
        if (written > declared_size) {
            unzCloseCurrentFile(zip);
            log_tagged(kLogWarning, "zip entry: %s longer than declared", utf8_of(target));
            return kUnzipReadFailed;
        }
        if (md5) md5->update(buffer, static_cast<size_t>(count));
        if (sha) sha->update(buffer, static_cast<size_t>(count));
        if (std::fwrite(buffer, 1, static_cast<size_t>(count), out.get()) !=
            static_cast<size_t>(count)) {
            unzCloseCurrentFile(zip);
            log_tagged(kLogWarning, "write file: %s failed:%d", utf8_of(target),
                       sys::last_system_code());
            return kUnzipOpenOutputFailed;
        }
    }
    if (written != declared_size) {
        unzCloseCurrentFile(zip);
        log_tagged(kLogWarning, "zip entry: %s ended at %llu of %llu bytes", utf8_of(target),
                   static_cast<unsigned long long>(written),
                   static_cast<unsigned long long>(declared_size));
        return kUnzipReadFailed;
    }
    if (unzCloseCurrentFile(zip) == UNZ_CRCERROR) {
        log_tagged(kLogWarning, "zip entry: %s crc mismatch", utf8_of(target));
        return kUnzipReadFailed;
    }
    if (std::fclose(out.release()) != 0) {
        log_tagged(kLogWarning, "write file: %s failed:%d", utf8_of(target),
                   sys::last_system_code());
        return kUnzipOpenOutputFailed;
    }
    return kUnzipOk;
}

// minizip looks for the end record only after offset 0, so it cannot open an archive
// without entries, which is that record alone (plus its comment).
bool is_empty_archive(const fs::path& zip_path) {
    const FileHandle in(sys::open_file(zip_path, "rb"));
    if (!in) return false;
    unsigned char record[22];
    if (std::fread(record, 1, sizeof record, in.get()) != sizeof record) return false;
    if (record[0] != 'P' || record[1] != 'K' || record[2] != 5 || record[3] != 6) return false;
    for (int i = 4; i < 20; ++i) {
        if (record[i] != 0) return false;
    }
    const long comment = record[20] | (record[21] << 8);
    return std::fseek(in.get(), 0, SEEK_END) == 0 &&
           std::ftell(in.get()) == static_cast<long>(sizeof record) + comment;
}

// minizip's own open takes a narrow name, which on Windows is the ANSI code page; this one
// receives the path itself and opens it by its full name. Reading asks for an existing
// file too, so the read test comes first: the package is only read, and may be read-only.
voidpf ZCALLBACK open_by_path(voidpf, const void* path, int mode) {
    const char* how = "rb";
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        how = (mode & ZLIB_FILEFUNC_MODE_EXISTING) ? "r+b" : "wb";
    return sys::open_file(*static_cast<const fs::path*>(path), how);
}

}  // namespace

bool is_safe_entry_name(const std::string& name) {
    if (name.empty() || name.find('\0') != std::string::npos) return false;
    if (is_separator(name[0])) return false;
    if (name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':')
        return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = start;
        while (end < name.size() && !is_separator(name[end])) ++end;
        if (name.compare(start, end - start, "..") == 0) return false;
        start = end + 1;
    }
    return true;
}

int unzip_package(const fs::path& zip_path, const fs::path& out_dir, const ArchiveListing* listing,
                  const ExtractionChecks& checks) {
    zlib_filefunc64_def functions;
    fill_fopen64_filefunc(&functions);
    functions.zopen64_file = open_by_path;
    ZipHandle zip(unzOpen2_64(&zip_path, &functions));
    if (!zip) return is_empty_archive(zip_path) ? make_directory(out_dir) : kUnzipOpenArchiveFailed;
    unz_global_info64 global{};
    if (unzGetGlobalInfo64(zip.get(), &global) != UNZ_OK) return kUnzipGlobalInfoFailed;
    const int made = make_directory(out_dir);
    if (made != kUnzipOk) return made;

    // Every entry is looked at before any file is written: names, listing and sizes.
    struct Pending {
        unz64_file_pos position;
        fs::path target;
        std::string relative;
        uint64_t size;
    };
    std::vector<Pending> files;
    std::set<std::string> taken;
    for (ZPOS64_T i = 0; i < global.number_entry; ++i) {
        unz_file_info64 info{};
        if (unzGetCurrentFileInfo64(zip.get(), &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
            return kUnzipEntryInfoFailed;
        // Names of any length: the buffer is sized from the entry's own header.
        std::string name(info.size_filename, '\0');
        if (unzGetCurrentFileInfo64(zip.get(), &info, name.data(), name.size(), nullptr, 0, nullptr,
                                    0) != UNZ_OK)
            return kUnzipEntryInfoFailed;
        if (!is_safe_entry_name(name)) {
            log_tagged(kLogWarning, "zip entry: %s refused: outside the output folder", name);
            return kUnzipUnsafeEntryName;
        }
        const bool is_dir = is_separator(name.back()) || info.external_fa == kDirectoryAttribute;
        std::string relative = name;
        for (char& c : relative) {
            if (c == '\\') c = '/';
        }
        const fs::path target = out_dir / path_from_utf8(relative);
        if (listing && !is_dir) {
            const auto listed = listing->entry_sizes.find(relative);
            if (listed == listing->entry_sizes.end() || !taken.insert(relative).second) {
                log_tagged(kLogWarning, "zip entry: %s refused: not listed by the manifest", name);
                return kUnzipEntryNotListed;
            }
            if (info.uncompressed_size != static_cast<uint64_t>(listed->second)) {
                log_tagged(kLogWarning,
                           "zip entry: %s refused: %llu bytes, the manifest lists %lld", name,
                           static_cast<unsigned long long>(info.uncompressed_size),
                           static_cast<long long>(listed->second));
                return kUnzipEntryWrongSize;
            }
        }
        if (is_dir) {
            if (const int result = make_directory(target); result != kUnzipOk) return result;
        } else {
            Pending file{{}, target, std::move(relative), info.uncompressed_size};
            if (unzGetFilePos64(zip.get(), &file.position) != UNZ_OK) return kUnzipEntryInfoFailed;
            files.push_back(std::move(file));
        }
        unzGoToNextFile(zip.get());
    }

    std::atomic<size_t> next{0};
    std::atomic<int> failed{kUnzipOk};
    const auto extract = [&](unzFile handle) {
        std::vector<char> buffer(kReadBufferSize);
        for (size_t i = 0; failed == kUnzipOk && (i = next++) < files.size();) {
            const Pending& file = files[i];
            const FileEntry* entry = nullptr;
            if (checks.entries && checks.checked) {
                const auto found = checks.entries->find(file.relative);
                if (found != checks.entries->end()) entry = &found->second;
            }
            Md5 md5;
            Sha256 sha;
            int result = unzGoToFilePos64(handle, &file.position) == UNZ_OK
                             ? extract_entry(handle, file.target, file.size, buffer,
                                             entry ? &md5 : nullptr, entry ? &sha : nullptr)
                             : kUnzipEntryInfoFailed;
            if (result != kUnzipOk) {
                int none = kUnzipOk;
                failed.compare_exchange_strong(none, result);
                return;
            }
            std::string mismatch;
            if (entry && digests_match({md5.hex_digest(), sha.hex_digest()}, *entry, mismatch))
                checks.checked->add(entry->hash, file.target);
        }
    };
    // Helpers that cannot open the archive leave their share to the others.
    std::vector<std::thread> helpers;
    for (unsigned w = 1; w < checks.workers && w < files.size(); ++w) {
        helpers.emplace_back([&] {
            ZipHandle own(unzOpen2_64(&zip_path, &functions));
            if (own) extract(own.get());
        });
    }
    extract(zip.get());
    for (std::thread& helper : helpers) helper.join();
    return failed;
}

int SetupCenter::_install_entire_mode_impl(std::string& error) {
    const std::optional<fs::path> temp = sys::temp_directory();
    if (!temp) return kSetupNoDownloadDir;
    try {
        for (int i = 0; i < kExtractDirCandidates; ++i) {
            extract_dir_ = *temp / ("vlstup-" + random_token(6));
            if (!fs::exists(extract_dir_)) break;
        }
        const ArchiveListing* listing = archive_.archive.named() ? &archive_ : nullptr;
        if (listing) {
            // Checked before anything is written: the signed total must fit.
            std::error_code ec;
            const fs::space_info space = fs::space(*temp, ec);
            if (!ec && space.available < static_cast<uintmax_t>(listing->total_bytes)) {
                error = "not enough free space to unpack the package";
                log_tagged(kLogWarning, "%s: %llu bytes free in %s, %lld needed", error,
                           static_cast<unsigned long long>(space.available), utf8_of(*temp),
                           static_cast<long long>(listing->total_bytes));
                return sys::kErrorDiskFull;
            }
        }
        // Each listed file's digests are taken as it is written, on every core.
        std::map<std::string, FileEntry> entries;
        for (const auto& [module, list] : plan_.install_lists)
            for (const FileEntry& entry : list) entries.emplace(entry.filePath, entry);
        const ExtractionChecks checks{&entries, &checked_,
                                      std::clamp(std::thread::hardware_concurrency(), 1u, 4u)};
        int result = unzip_package(package_.path, extract_dir_, listing, checks);
        bool bad_archive = false;
        if (result == kUnzipEntryNotListed || result == kUnzipEntryWrongSize) {
            error = result == kUnzipEntryNotListed
                        ? "package archive holds an entry the manifest does not list"
                        : "package archive entry size differs from the manifest";
        } else if (result != kUnzipOk) {
            error = "unzip entire package failed";
        }
        if (result != kUnzipOk) {
            log_tagged(kLogWarning, "unzip dir: %s file: %s out: %s fialied. code: %d",
                       utf8_of(download_dir_), utf8_of(package_.path), utf8_of(extract_dir_),
                       result);
            // Output errors (a full disk) say nothing about the archive itself.
            bad_archive = result != kUnzipMakeDirFailed && result != kUnzipOpenOutputFailed;
        } else {
            log_tagged(kLogInfo, "extract zip file to: %s", utf8_of(extract_dir_));
            // Every entry the manifest names is checked against it as it is staged: an
            // archive left from another release must not install its files.
            result = _install();
            if (result == kDownloadHashMismatch || result == sys::kErrorFileNotFound ||
                result == sys::kErrorPathNotFound) {
                error = "package content does not match the manifest";
                bad_archive = true;
            }
        }
        std::error_code ignored;
        fs::remove_all(extract_dir_, ignored);
        if (bad_archive) {
            // Never trusted twice: the next run fetches the archive again.
            log_tagged(kLogWarning, "remove package archive: %s", utf8_of(package_.path));
            fs::remove(package_.path, ignored);
        }
        return result;
    } catch (const fs::filesystem_error& e) {
        log_tagged(kLogWarning,
                   "SetupCenter::_install_entire_mode_impl filesystem_error error: %d %s",
                   sys::system_code(e.code()), e.what());
        return kSetupFileSystemError;
    }
}

}  // namespace velora::st
