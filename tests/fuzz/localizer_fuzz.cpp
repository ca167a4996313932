// The locale files Resources/locale/<locale>.ini. The localiser's file reading and lookups
// need no Qt; only its choice of the system language does (QLocale), which is not fuzzed.

#include <map>

#include "fuzz_support.h"
#include "ui/localizer.h"

namespace {

using velora::st::Localizer;

// The format, read independently: "key = "text"" lines, split at "=", both sides trimmed,
// a value of two or more characters with a quote at one end at least, later lines win.
std::map<std::string, std::string> expected_table(const std::string& file) {
    constexpr std::string_view kBlanks = " \t\r\n\v\f";
    auto trim = [&](std::string_view text) {
        const size_t first = text.find_first_not_of(kBlanks);
        if (first == std::string_view::npos) return std::string();
        return std::string(text.substr(first, text.find_last_not_of(kBlanks) - first + 1));
    };
    std::map<std::string, std::string> table;
    size_t start = 0;
    while (start < file.size()) {
        size_t end = file.find('\n', start);
        if (end == std::string::npos) end = file.size();
        const std::string_view line = std::string_view(file).substr(start, end - start);
        start = end + 1;
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos || line.find('=', eq + 1) != std::string_view::npos)
            continue;
        const std::string key = trim(line.substr(0, eq));
        const std::string value = trim(line.substr(eq + 1));
        if (key.empty() || value.size() < 2 || (value.front() != '"' && value.back() != '"'))
            continue;
        table[key] = value.substr(1, value.size() - 2);
    }
    return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string file = castmill::fuzz::text_of(data, size);
    const std::filesystem::path resources = castmill::fuzz::fresh_folder("Resources");
    castmill::fuzz::write_file(resources / "locale" / "de-DE.ini", file);
    Localizer& localizer = Localizer::instance();
    localizer.set_resources_folder(resources);
    FUZZ_CHECK(localizer.init("de_DE"));
    FUZZ_CHECK(localizer.current_locale() == "de-DE");

    const std::map<std::string, std::string> table = expected_table(file);
    for (const auto& [key, text] : table) FUZZ_CHECK(localizer.text(key) == text);
    // Keys the file does not hold come back as themselves (there is no en-US file).
    for (const char* key : {"Preparing", "InstallFailedTitle", "Retry", ""}) {
        if (!table.count(key)) FUZZ_CHECK(localizer.text(key) == key);
    }
    return 0;
}
