// CJsonObject, which reads every answer of the update service and every file the engine
// left for a later run.

#include <limits>
#include <nlohmann/json.hpp>
#include <set>

#include "base/cjson_object.h"
#include "fuzz_support.h"

namespace {

using neb::CJsonObject;

constexpr std::string_view kErrorLead = "prase json string error at ";

// What a strict parser makes of the text: valid JSON, how deep it nests, and whether the
// top-level object names a member twice (CJsonObject keeps the first, nlohmann the last).
struct StrictView {
    nlohmann::json value;
    bool valid = false;
    int depth = 0;
    bool duplicate_names = false;
};

StrictView strict_view(const std::string& text) {
    StrictView view;
    std::set<std::string> names;
    auto callback = [&](int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
        if (depth > view.depth) view.depth = depth;
        if (event == nlohmann::json::parse_event_t::key && depth == 1 &&
            !names.insert(parsed.get<std::string>()).second) {
            view.duplicate_names = true;
        }
        return true;
    };
    view.value = nlohmann::json::parse(text, callback, false);
    view.valid = !view.value.is_discarded();
    return view;
}

// The getters agree with the strict parser on the members of a top-level object.
void compare_members(CJsonObject& object, const nlohmann::json& strict) {
    for (const auto& [name, value] : strict.items()) {
        std::string text;
        int64_t wide = 0;
        bool flag = false;
        if (value.is_string()) {
            FUZZ_CHECK(object.get(name, text));
            FUZZ_CHECK(text == value.get<std::string>());
        } else if (value.is_number_unsigned() &&
                   value.get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max())) {
            FUZZ_CHECK(!object.get(name, wide));
        } else if (value.is_number_integer()) {
            FUZZ_CHECK(object.get(name, wide));
            FUZZ_CHECK(wide == value.get<int64_t>());
        } else if (value.is_boolean()) {
            FUZZ_CHECK(object.get(name, flag));
            FUZZ_CHECK(flag == value.get<bool>());
        } else {
            FUZZ_CHECK(!object.get(name, text));
        }
        CJsonObject member;
        FUZZ_CHECK(object.get(name, member));
        FUZZ_CHECK(object.child(name).is_array() == value.is_array());
        FUZZ_CHECK(object.child(name).array_size() ==
                   (value.is_array() ? static_cast<int>(value.size()) : 0));
    }
}

// Reading a parsed document the ways the engine does; nothing may go wrong.
void walk(CJsonObject& object, int depth) {
    if (depth > 8) return;
    std::string text;
    int32_t narrow = 0;
    int64_t wide = 0;
    bool flag = false;
    for (const char* name : {"fileList", "filePath", "hash", "fileSize", "url", "version"}) {
        object.get(name, text);
        object.get(name, narrow);
        object.get(name, wide);
        object.get(name, flag);
        CJsonObject& member = object.child(name);
        if (!member.is_empty()) walk(member, depth + 1);
    }
    const int size = object.array_size();
    for (int i = 0; i < size && i < 4; ++i) walk(object.child(i), depth + 1);
    FUZZ_CHECK(object.child(size).is_empty());
    FUZZ_CHECK(object.child(-1).is_empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = castmill::fuzz::text_of(data, size);
    CJsonObject object;
    const bool parsed = object.parse(text);
    const StrictView strict = strict_view(text);
    if (!parsed) {
        FUZZ_CHECK(object.is_empty());
        FUZZ_CHECK(object.to_text().empty());
        const std::string& error = object.error_text();
        FUZZ_CHECK(error.starts_with(kErrorLead));
        FUZZ_CHECK(text.ends_with(error.substr(kErrorLead.size())));
        // Valid JSON within the nesting limit is never refused.
        FUZZ_CHECK(!strict.valid || strict.depth > 500);
        return 0;
    }
    FUZZ_CHECK(!object.is_empty());
    if (strict.valid && strict.value.is_object() && !strict.duplicate_names) {
        compare_members(object, strict.value);
    }
    walk(object, 0);

    // What the engine writes it reads back: both printed forms parse, and the printer
    // settles after a few rounds (a double such as -1e-300 prints as -0.000000, which
    // reads back as -0 and then 0).
    const std::string formatted = object.to_text();
    std::string rounds[4] = {object.to_unformatted_text()};
    for (int i = 1; i < 4; ++i) {
        CJsonObject reread;
        FUZZ_CHECK(reread.parse(rounds[i - 1]));
        rounds[i] = reread.to_unformatted_text();
    }
    FUZZ_CHECK(rounds[3] == rounds[2]);
    CJsonObject from_formatted;
    FUZZ_CHECK(from_formatted.parse(formatted));
    FUZZ_CHECK(from_formatted.to_unformatted_text() == rounds[1]);

    // Copies and additions keep the document whole; each copy goes through the printer.
    CJsonObject copy(object);
    FUZZ_CHECK(copy.to_text() == formatted);
    CJsonObject holder;
    FUZZ_CHECK(holder.add("doc", object));
    CJsonObject member;
    FUZZ_CHECK(holder.get("doc", member));
    FUZZ_CHECK(member.to_unformatted_text() == rounds[2]);
    CJsonObject list;
    FUZZ_CHECK(list.append(object));
    FUZZ_CHECK(list.child(0).to_unformatted_text() == rounds[1]);
    return 0;
}
