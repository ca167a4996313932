#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <unordered_map>

namespace velora::st {

// Every user-visible text, looked up by key in per-language files
// "Resources/locale/<locale>.ini". Lookups fall back to the default language and
// finally to the key itself, so some text is always shown.
class Localizer {
public:
    static constexpr const char* kDefaultLocale = "en-US";

    static Localizer& instance();

    // Loads the system language and the default language.
    bool init();
    // Same with a given system locale name ("de_DE" or "de-DE").
    bool init(const std::string& system_locale);
    // Reads one locale file into the tables; false when it is missing.
    bool load(const std::string& locale);
    std::string text(const std::string& key) const;

    std::string current_locale() const;

    // The folder holding "locale/"; by default the Resources folder beside the
    // executable. Changing it forgets the loaded tables.
    void set_resources_folder(const std::filesystem::path& folder);

    Localizer(const Localizer&) = delete;
    Localizer& operator=(const Localizer&) = delete;

private:
    Localizer();

    using Table = std::unordered_map<std::string, std::string>;

    mutable std::mutex lock;
    std::filesystem::path resources;
    std::string current_locale_ = kDefaultLocale;
    std::unordered_map<std::string, Table> tables;
};

}  // namespace velora::st
