#include <unistd.h>

#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>
#include <vector>

#include "base/cjson_object.h"
#include "base/logger.h"
#include "sys/error_code.h"
#include "sys/files.h"
#include "sys/folders.h"
#include "sys/registry.h"

namespace velora::sys {

namespace fs = std::filesystem;

namespace {

constexpr const char* kStringType = "REG_SZ";
constexpr const char* kDwordType = "REG_DWORD";

// Read-modify-write of a key file is one step for the threads of this process; the
// rename makes each write whole for other processes.
std::mutex g_store_lock;

const char* hive_name(RegistryHive hive) {
    return hive == RegistryHive::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

// A key part as a file name: '%', '/', '.' and control characters are written as %XX,
// so that no part can be "." or "..", leave its folder, or end like a key file.
std::string encode_part(const std::string& part) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : part) {
        if (c == '%' || c == '/' || c == '.' || c < 0x20 || c == 0x7f) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The file of a key: one folder per parent part, the last part with ".json". Empty
// parts (a trailing '\') are skipped; a key with no part at all has no file.
std::optional<fs::path> key_file(RegistryHive hive, const std::string& key) {
    auto root = registry_root();
    if (!root) return std::nullopt;
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(key);
    while (std::getline(in, part, '\\')) {
        if (!part.empty()) parts.push_back(encode_part(part));
    }
    if (parts.empty()) return std::nullopt;
    fs::path file = *root / hive_name(hive);
    for (size_t i = 0; i + 1 < parts.size(); ++i) file /= parts[i];
    return file / (parts.back() + ".json");
}

// The values of an existing key file. A file that is not a JSON object is reported,
// never overwritten.
int read_key(const fs::path& file, neb::CJsonObject& values) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return kErrorFileNotFound;
    std::ostringstream text;
    text << in.rdbuf();
    if (!values.parse(text.str()) || values.is_array()) {
        log_tagged(kLogWarning, "registry key file [%s] is damaged: %s", file, values.error_text());
        return kErrorBadDatabase;
    }
    return kErrorSuccess;
}

// A hidden name beside `name` in `dir`, private to this process, to build a file under
// before it takes its real name.
fs::path temp_beside(const fs::path& dir, const fs::path& name) {
    return dir / ("." + name.filename().string() + "." + std::to_string(getpid()));
}

// Gives `temp` the name `target` in one step; a temp that cannot take it is removed.
int move_into_place(const fs::path& temp, const fs::path& target) {
    std::error_code ec;
    fs::rename(temp, target, ec);
    if (!ec) return flush_directory(target.parent_path());
    std::error_code ignored;
    fs::remove(temp, ignored);
    return system_code(ec);
}

int write_key(const fs::path& file, const neb::CJsonObject& values) {
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    if (ec) return system_code(ec);
    const fs::path temp = temp_beside(file.parent_path(), file);
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return last_system_code();
        const std::string text = values.is_empty() ? "{}" : values.to_text();
        out << text << '\n';
        out.flush();
        if (!out) {
            const int code = last_system_code();
            out.close();
            fs::remove(temp, ec);
            return code ? code : kErrorDiskFull;
        }
    }
    // The data is on disk before the name goes live.
    if (const int code = flush_file(temp)) {
        fs::remove(temp, ec);
        return code;
    }
    return move_into_place(temp, file);
}

int set_value(RegistryHive hive, const std::string& key, const std::string& name,
              const neb::CJsonObject& value) {
    const auto file = key_file(hive, key);
    if (!file) return kErrorInvalidParameter;
    std::lock_guard lock(g_store_lock);
    neb::CJsonObject values;
    std::error_code ec;
    if (fs::exists(*file, ec)) {
        if (const int rc = read_key(*file, values); rc != kErrorSuccess) return rc;
    } else if (ec) {
        return system_code(ec);
    }
    // An update writes the same values again: each unchanged one would cost two flushes.
    neb::CJsonObject stored;
    if (values.get(name, stored) && stored.to_text() == value.to_text()) return kErrorSuccess;
    values.add(name, value);
    return write_key(*file, values);
}

std::optional<neb::CJsonObject> get_value(RegistryHive hive, const std::string& key,
                                          const std::string& name, const char* type) {
    const auto file = key_file(hive, key);
    if (!file) return std::nullopt;
    std::lock_guard lock(g_store_lock);
    neb::CJsonObject values;
    if (read_key(*file, values) != kErrorSuccess) return std::nullopt;
    neb::CJsonObject value;
    std::string stored_type;
    if (!values.get(name, value) || !value.get("type", stored_type) || stored_type != type)
        return std::nullopt;
    return value;
}

std::optional<fs::path> data_home() { return known_folder(KnownFolder::LocalAppData); }

}  // namespace

std::optional<fs::path> registry_root() {
    auto data = data_home();
    if (!data) return std::nullopt;
    return *data / "velora" / "registry";
}

std::optional<fs::path> vulkan_implicit_layer_dir() {
    auto data = data_home();
    if (!data) return std::nullopt;
    return *data / "vulkan" / "implicit_layer.d";
}

int registry_create_key(RegistryHive hive, const std::string& key) {
    const auto file = key_file(hive, key);
    if (!file) return kErrorInvalidParameter;
    std::lock_guard lock(g_store_lock);
    std::error_code ec;
    if (fs::is_regular_file(*file, ec)) return kErrorSuccess;
    if (fs::exists(*file, ec)) return kErrorAccessDenied;
    return write_key(*file, neb::CJsonObject());
}

int registry_set_string(RegistryHive hive, const std::string& key, const std::string& name,
                        const std::string& value) {
    neb::CJsonObject entry;
    entry.add("type", kStringType);
    entry.add("data", value);
    return set_value(hive, key, name, entry);
}

int registry_set_dword(RegistryHive hive, const std::string& key, const std::string& name,
                       std::uint32_t value) {
    neb::CJsonObject entry;
    entry.add("type", kDwordType);
    entry.add("data", static_cast<int64_t>(value));
    return set_value(hive, key, name, entry);
}

std::optional<std::string> registry_get_string(RegistryHive hive, const std::string& key,
                                               const std::string& name) {
    auto value = get_value(hive, key, name, kStringType);
    std::string data;
    if (!value || !value->get("data", data)) return std::nullopt;
    return data;
}

std::optional<std::uint32_t> registry_get_dword(RegistryHive hive, const std::string& key,
                                                const std::string& name) {
    auto value = get_value(hive, key, name, kDwordType);
    int64_t data = 0;
    if (!value || !value->get("data", data) || data < 0 || data > UINT32_MAX) return std::nullopt;
    return static_cast<std::uint32_t>(data);
}

int register_vulkan_implicit_layer(const fs::path& manifest) {
    const auto dir = vulkan_implicit_layer_dir();
    if (!dir || manifest.empty()) return kErrorInvalidParameter;
    std::error_code ec;
    const fs::path target = fs::absolute(manifest, ec);
    if (ec) return system_code(ec);
    fs::create_directories(*dir, ec);
    if (ec) return system_code(ec);
    // The link replaces an earlier one of the same name in one step.
    const fs::path link = *dir / manifest.filename();
    const fs::path temp = temp_beside(*dir, manifest);
    fs::remove(temp, ec);
    fs::create_symlink(target, temp, ec);
    if (ec) return system_code(ec);
    return move_into_place(temp, link);
}

}  // namespace velora::sys
