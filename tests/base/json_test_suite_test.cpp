// CJsonObject over JSONTestSuite's parsing cases (tests/data/JSONTestSuite, MIT licence):
// y_ files must be accepted, n_ files refused, i_ files may go either way but must not
// break anything.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/cjson_object.h"
#include "support/test_env.h"

namespace neb {
namespace {

namespace fs = std::filesystem;

// Where the wrapper deliberately reads more than strict JSON, and why.
const char* const kTrailingText =
    "text after a complete value is not examined: an answer or file is read up to the end "
    "of its value, as the engine has always read them";
const char* const kLooseWhiteSpace =
    "every byte of code 32 or less separates tokens, not only blank, tab, CR and LF";
const char* const kAnyEscape =
    "a backslash before a character without an escape of its own stands for that character";

const std::map<std::string, const char*> kAcceptedInvalid = {
    {"n_array_comma_after_close.json", kTrailingText},
    {"n_array_extra_close.json", kTrailingText},
    {"n_multidigit_number_then_00.json", kTrailingText},
    {"n_object_trailing_comment.json", kTrailingText},
    {"n_object_trailing_comment_open.json", kTrailingText},
    {"n_object_trailing_comment_slash_open.json", kTrailingText},
    {"n_object_trailing_comment_slash_open_incomplete.json", kTrailingText},
    {"n_object_with_trailing_garbage.json", kTrailingText},
    {"n_string_with_trailing_garbage.json", kTrailingText},
    {"n_structure_array_trailing_garbage.json", kTrailingText},
    {"n_structure_array_with_extra_array_close.json", kTrailingText},
    {"n_structure_close_unopened_array.json", kTrailingText},
    {"n_structure_double_array.json", kTrailingText},
    {"n_structure_number_with_trailing_garbage.json", kTrailingText},
    {"n_structure_object_followed_by_closing_object.json", kTrailingText},
    {"n_structure_object_with_trailing_garbage.json", kTrailingText},
    {"n_structure_trailing_#.json", kTrailingText},
    {"n_structure_whitespace_formfeed.json", kLooseWhiteSpace},
    {"n_structure_null-byte-outside-string.json", kLooseWhiteSpace},
    {"n_string_backslash_00.json", kAnyEscape},
    {"n_string_escape_x.json", kAnyEscape},
    {"n_string_escaped_ctrl_char_tab.json", kAnyEscape},
    {"n_string_escaped_emoji.json", kAnyEscape},
    {"n_string_invalid_backslash_esc.json", kAnyEscape},
    {"n_string_invalid_utf8_after_escape.json", kAnyEscape},
    {"n_string_unicode_CapitalU.json", kAnyEscape},
};

// The suite's files whose names start with prefix, by name.
std::map<std::string, std::string> cases(const std::string& prefix) {
    std::map<std::string, std::string> found;
    const fs::path dir = castmill::test::source_dir() / "tests/data/JSONTestSuite/test_parsing";
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(prefix)) found[name] = castmill::test::read_file(entry.path());
    }
    return found;
}

// An accepted document prints text that reads back to the same print.
void expect_reprints(const CJsonObject& object, const std::string& name) {
    CJsonObject reread;
    EXPECT_TRUE(reread.parse(object.to_text())) << name << ": " << reread.error_text();
    EXPECT_EQ(reread.to_unformatted_text(),
              CJsonObject(object.to_unformatted_text()).to_unformatted_text())
        << name;
}

TEST(JsonTestSuite, AcceptsEveryValidDocument) {
    const auto valid = cases("y_");
    EXPECT_EQ(valid.size(), 95u);
    for (const auto& [name, text] : valid) {
        CJsonObject object;
        EXPECT_TRUE(object.parse(text)) << name << ": " << object.error_text();
        expect_reprints(object, name);
    }
}

TEST(JsonTestSuite, RefusesEveryInvalidDocumentExceptTheListedOnes) {
    const auto invalid = cases("n_");
    EXPECT_EQ(invalid.size(), 188u);
    for (const auto& [name, text] : invalid) {
        CJsonObject object;
        const bool parsed = object.parse(text);
        const auto difference = kAcceptedInvalid.find(name);
        if (difference == kAcceptedInvalid.end()) {
            EXPECT_FALSE(parsed) << name << " was accepted";
            EXPECT_TRUE(object.is_empty()) << name;
            EXPECT_EQ(object.error_text().rfind("prase json string error at ", 0), 0u) << name;
        } else {
            // The list stays true: each entry is a case the wrapper really accepts.
            EXPECT_TRUE(parsed) << name << " is listed as accepted (" << difference->second
                                << ") but was refused";
        }
    }
    for (const auto& [name, reason] : kAcceptedInvalid) {
        EXPECT_EQ(invalid.count(name), 1u) << name << " is not in the suite";
    }
}

TEST(JsonTestSuite, ImplementationDefinedDocumentsParseOrFailCleanly) {
    const auto open = cases("i_");
    EXPECT_EQ(open.size(), 35u);
    for (const auto& [name, text] : open) {
        CJsonObject object;
        if (object.parse(text)) {
            expect_reprints(object, name);
        } else {
            EXPECT_TRUE(object.is_empty()) << name;
        }
    }
}

}  // namespace
}  // namespace neb
