#include "setup/install_record.h"

#include <charconv>
#include <fstream>
#include <sstream>
#include <system_error>

#include "base/cjson_object.h"
#include "base/logger.h"
#include "layout/paths.h"
#include "setup/install_files.h"
#include "setup/manifest_rules.h"
#include "setup/setup_data.h"
#include "sys/files.h"

namespace velora::st {

namespace fs = std::filesystem;

fs::path install_record_path(const fs::path& install_dir) {
    return update_folder(install_dir) / kInstallRecordName;
}

InstallRecord read_install_record(const fs::path& install_dir) {
    InstallRecord record;
    try {
        const fs::path file = install_record_path(install_dir);
        std::ifstream in(file, std::ios::binary);
        if (!in) return record;
        std::stringstream text;
        text << in.rdbuf();
        neb::CJsonObject json;
        if (!json.parse(text.str())) {
            log_tagged(kLogWarning, "install record %s unreadable", utf8_of(file));
            return record;
        }
        neb::CJsonObject& list = json.child("fileList");
        for (int i = 0; list.is_array() && i < list.array_size(); ++i) {
            neb::CJsonObject& element = list.child(i);
            std::string path;
            std::string modified;
            RecordedFile file_record;
            if (!element.get("filePath", path) || !element.get("fileSize", file_record.size) ||
                !element.get("modified", modified) || !element.get("hash", file_record.hash) ||
                !is_safe_manifest_path(path))
                continue;
            const auto [end, ec] = std::from_chars(
                modified.data(), modified.data() + modified.size(), file_record.modified);
            if (ec == std::errc() && end == modified.data() + modified.size())
                record[path] = file_record;
        }
    } catch (const std::exception& e) {
        log_tagged(kLogWarning, "read install record exception: %s", e.what());
        record.clear();
    }
    return record;
}

std::string install_record_version(const fs::path& install_dir) {
    std::string version;
    try {
        const std::optional<std::string> text =
            sys::read_whole_file(install_record_path(install_dir));
        neb::CJsonObject json;
        if (text && json.parse(*text)) json.get("version", version);
    } catch (const std::exception& e) {
        log_tagged(kLogWarning, "read install record exception: %s", e.what());
        version.clear();
    }
    return version;
}

bool write_install_record(const fs::path& install_dir, const InstallRecord& record,
                          const std::string& version) {
    try {
        neb::CJsonObject list;
        for (const auto& [path, file] : record) {
            neb::CJsonObject element;
            element.add("filePath", path);
            element.add("fileSize", file.size);
            // As text: the times have more digits than a JSON number keeps exactly.
            element.add("modified", std::to_string(file.modified));
            element.add("hash", file.hash);
            list.append(element);
        }
        neb::CJsonObject json;
        json.add("fileList", list);
        if (!version.empty()) json.add("version", version);
        return sys::write_file_replacing(install_record_path(install_dir), json.to_text() + "\n");
    } catch (const std::exception& e) {
        log_tagged(kLogWarning, "write install record exception: %s", e.what());
        return false;
    }
}

std::optional<RecordedFile> describe_file(const fs::path& file, const std::string& hash) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(file, ec);
    if (ec) return std::nullopt;
    const auto modified = fs::last_write_time(file, ec);
    if (ec) return std::nullopt;
    return RecordedFile{static_cast<int64_t>(size),
                        static_cast<int64_t>(modified.time_since_epoch().count()), hash};
}

bool holds_content(const fs::path& file, const FileEntry& entry, const InstallRecord& record) {
    if (const auto found = record.find(entry.filePath); found != record.end()) {
        const RecordedFile& recorded = found->second;
        const auto now = describe_file(file, entry.hash);
        if (now && recorded.hash == entry.hash && recorded.size == entry.fileSize &&
            now->size == recorded.size && now->modified == recorded.modified)
            return true;
    }
    return content_matches(file, entry);
}

}  // namespace velora::st
