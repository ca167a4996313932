#include "ui/localizer.h"

#include <QLocale>
#include <algorithm>
#include <fstream>
#include <system_error>

#include "ui/resources_folder.h"

namespace velora::st {

namespace {

constexpr const char* kBlanks = " \t\r\n\v\f";

std::string trimmed(const std::string& text) {
    auto first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// One "key = "text"" line; anything else is skipped (sections, comments, texts
// holding "=", unquoted values).
void parse_line(const std::string& line, std::unordered_map<std::string, std::string>& table) {
    auto eq = line.find('=');
    if (eq == std::string::npos || line.find('=', eq + 1) != std::string::npos) return;
    std::string key = trimmed(line.substr(0, eq));
    std::string value = trimmed(line.substr(eq + 1));
    if (key.empty() || value.size() < 2) return;
    if (value.front() != '"' && value.back() != '"') return;
    table[key] = value.substr(1, value.size() - 2);
}

}  // namespace

Localizer::Localizer() : resources(resources_folder()) {}

Localizer& Localizer::instance() {
    static Localizer localizer;
    return localizer;
}

bool Localizer::init() {
    try {
        return init(QLocale::system().name().toStdString());
    } catch (...) {
        return true;
    }
}

bool Localizer::init(const std::string& system_locale) {
    try {
        std::string name = system_locale;
        std::replace(name.begin(), name.end(), '_', '-');
        {
            std::lock_guard guard(lock);
            // A new choice of language starts from a clean slate.
            tables.clear();
            current_locale_ = kDefaultLocale;
        }
        if (load(name)) {
            std::lock_guard guard(lock);
            current_locale_ = name;
        }
        if (name != kDefaultLocale) load(kDefaultLocale);
    } catch (...) {
        // Missing texts fall back to their keys; never stop the installer for them.
    }
    return true;
}

bool Localizer::load(const std::string& locale) {
    std::filesystem::path file;
    {
        std::lock_guard guard(lock);
        file = resources / "locale" / (locale + ".ini");
    }
    std::error_code ec;
    if (!std::filesystem::exists(file, ec) || ec) return false;
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    Table table;
    std::string line;
    while (std::getline(in, line, '\n')) parse_line(line, table);
    std::lock_guard guard(lock);
    tables[locale] = std::move(table);
    return true;
}

std::string Localizer::text(const std::string& key) const {
    std::lock_guard guard(lock);
    auto lookup = [&](const std::string& locale) -> const std::string* {
        auto table = tables.find(locale);
        if (table == tables.end()) return nullptr;
        auto entry = table->second.find(key);
        return entry == table->second.end() ? nullptr : &entry->second;
    };
    if (const std::string* found = lookup(current_locale_)) return *found;
    if (current_locale_ != kDefaultLocale) {
        if (const std::string* found = lookup(kDefaultLocale)) return *found;
    }
    return key;
}

std::string Localizer::current_locale() const {
    std::lock_guard guard(lock);
    return current_locale_;
}

void Localizer::set_resources_folder(const std::filesystem::path& folder) {
    std::lock_guard guard(lock);
    resources = folder;
    tables.clear();
    current_locale_ = kDefaultLocale;
}

}  // namespace velora::st
