#include "base/cjson_object.h"

#include <gtest/gtest.h>

#include <string>

namespace neb {
namespace {

TEST(CJsonObject, PrintsMembersOnTabbedLines) {
    CJsonObject object;
    ASSERT_TRUE(object.add("a", "x"));
    ASSERT_TRUE(object.add("b", 1));
    EXPECT_EQ(object.to_text(), "{\n\t\"a\":\t\"x\",\n\t\"b\":\t1\n}");
    EXPECT_EQ(object.to_unformatted_text(), "{\"a\":\"x\",\"b\":1}");
}

TEST(CJsonObject, PrintsNestingArraysNumbersAndEscapesByteForByte) {
    CJsonObject object(
        "{\"name\":\"x\", \"list\": [1, 2, {\"k\": \"v\"}, [], {}], \"sub\": {\"n\": -5, "
        "\"big\": 5000000000, \"max\": 18446744073709551615, \"d\": 1.5, \"w\": 2.0, "
        "\"neg\": -0.25, \"e\": \"q\\\"b\\\\s\\/\\n\\u0001\\t\\b\\f\\r\\u00e9\"}, "
        "\"flags\": [true, false, null]}");
    ASSERT_FALSE(object.is_empty()) << object.error_text();
    EXPECT_EQ(object.to_text(),
              "{\n"
              "\t\"name\":\t\"x\",\n"
              "\t\"list\":\t[1, 2, {\n"
              "\t\t\t\"k\":\t\"v\"\n"
              "\t\t}, [], {\n"
              "\t\t}],\n"
              "\t\"sub\":\t{\n"
              "\t\t\"n\":\t-5,\n"
              "\t\t\"big\":\t5000000000,\n"
              "\t\t\"max\":\t18446744073709551615,\n"
              "\t\t\"d\":\t1.500000,\n"
              "\t\t\"w\":\t2,\n"
              "\t\t\"neg\":\t-0.250000,\n"
              "\t\t\"e\":\t\"q\\\"b\\\\s/\\n\\u0001\\t\\b\\f\\r\xc3\xa9\"\n"
              "\t},\n"
              "\t\"flags\":\t[true, false, null]\n"
              "}");
}

TEST(CJsonObject, AddedIntegersPrintSignedAndParsedOnesUnsigned) {
    CJsonObject object;
    object.add("small", -1);
    object.add("size", int64_t(6000000000));
    object.add("low", int64_t(-6000000000));
    EXPECT_EQ(object.to_unformatted_text(),
              "{\"small\":-1,\"size\":6000000000,\"low\":-6000000000}");
    CJsonObject parsed("{\"u\":4294967295,\"v\":4294967296,\"n\":-9223372036854775808}");
    EXPECT_EQ(parsed.to_unformatted_text(),
              "{\"u\":4294967295,\"v\":4294967296,\"n\":-9223372036854775808}");
}

TEST(CJsonObject, ParsesSurrogatePairsIntoUtf8) {
    CJsonObject object("{\"s\":\"\\ud83d\\ude00 \\u4e2d\"}");
    std::string s;
    ASSERT_TRUE(object.get("s", s)) << object.error_text();
    EXPECT_EQ(s, "\xf0\x9f\x98\x80 \xe4\xb8\xad");
    // Raw UTF-8 bytes pass through unchanged.
    EXPECT_EQ(object.to_unformatted_text(), "{\"s\":\"\xf0\x9f\x98\x80 \xe4\xb8\xad\"}");
}

TEST(CJsonObject, ParseErrorsQuoteTheUnparsedRest) {
    CJsonObject object;
    EXPECT_FALSE(object.parse("{"));
    EXPECT_EQ(object.error_text(), "prase json string error at ");
    EXPECT_TRUE(object.is_empty());
    EXPECT_EQ(object.to_text(), "");

    const struct {
        const char* text;
        const char* rest;
    } cases[] = {
        {"{\"a\":1,}", "}"},
        {"{\"a\" 1}", "1}"},
        {"[1, 2 3]", "3]"},
        {"{\"a\":tru}", "tru}"},
        {"{\"a\":\"unterminated", ""},
        {"{\"a\":\"\\ud83d alone\"}", "\\ud83d alone\"}"},
        {"{\"a\":\"\\udc00\"}", "\\udc00\"}"},
        {"{\"a\":\"\\u12G4\"}", "\\u12G4\"}"},
        {"{\"a\":-x}", "x}"},
        // A leading zero is a number of its own, and raw control characters end a string.
        {"[012]", "12]"},
        {"{\"a\":-01}", "1}"},
        {"[\"a\tb\"]", "\tb\"]"},
        {"{\"a\":\"line\nbreak\"}", "\nbreak\"}"},
        {"", ""},
        {"  \n ", ""},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(object.parse(c.text)) << c.text;
        EXPECT_EQ(object.error_text(), std::string("prase json string error at ") + c.rest);
        EXPECT_TRUE(object.is_empty());
    }
    // A good parse replaces whatever was there, and text after a value is not examined.
    EXPECT_TRUE(object.parse(" {\"a\":1} trailing"));
    EXPECT_EQ(object.to_unformatted_text(), "{\"a\":1}");
}

TEST(CJsonObject, RefusesNestingDeepEnoughToExhaustTheStack) {
    CJsonObject object;
    EXPECT_FALSE(object.parse(std::string(100000, '[')));
    EXPECT_TRUE(object.is_empty());
    std::string deep = std::string(100, '[') + std::string(100, ']');
    EXPECT_TRUE(object.parse(deep));
    EXPECT_EQ(object.to_unformatted_text(), deep);
}

TEST(CJsonObject, GetsAreStrictAboutTypes) {
    CJsonObject object(
        "{\"s\":\"text\",\"i\":42,\"one\":1.0,\"exp\":1e2,\"zeroexp\":3e0,\"t\":true,"
        "\"f\":false,\"n\":null,\"big\":5000000000,\"huge\":18446744073709551615,"
        "\"neg\":-7,\"toolong\":-123456789012345678901234,\"obj\":{\"k\":[1,2]}}");
    std::string s;
    int32_t i = 0;
    int64_t wide = 0;
    bool b = false;
    EXPECT_TRUE(object.get("s", s));
    EXPECT_EQ(s, "text");
    EXPECT_FALSE(object.get("i", s));
    EXPECT_TRUE(object.get("i", i));
    EXPECT_EQ(i, 42);
    EXPECT_FALSE(object.get("s", i));
    EXPECT_FALSE(object.get("one", i));
    EXPECT_FALSE(object.get("exp", i));
    EXPECT_TRUE(object.get("zeroexp", i));
    EXPECT_EQ(i, 3);
    EXPECT_TRUE(object.get("neg", i));
    EXPECT_EQ(i, -7);
    EXPECT_TRUE(object.get("t", b));
    EXPECT_TRUE(b);
    EXPECT_TRUE(object.get("f", b));
    EXPECT_FALSE(b);
    EXPECT_FALSE(object.get("n", b));
    EXPECT_FALSE(object.get("i", b));
    EXPECT_FALSE(object.get("missing", s));
    // Sizes beyond 32 bits need the 64-bit get; the 32-bit one refuses to truncate.
    i = 0;
    EXPECT_FALSE(object.get("big", i));
    EXPECT_EQ(i, 0);
    EXPECT_TRUE(object.get("big", wide));
    EXPECT_EQ(wide, 5000000000);
    EXPECT_FALSE(object.get("huge", wide));
    EXPECT_FALSE(object.get("toolong", wide));

    CJsonObject sub;
    EXPECT_TRUE(object.get("obj", sub));
    EXPECT_EQ(sub.to_unformatted_text(), "{\"k\":[1,2]}");
    EXPECT_FALSE(object.get("missing", sub));

    CJsonObject array("[{\"s\":\"x\"}]");
    EXPECT_FALSE(array.get("s", s));
}

TEST(CJsonObject, ChildrenAreCachedAndMissingOnesAreEmpty) {
    CJsonObject object("{\"list\":[{\"n\":1},{\"n\":2}],\"o\":{\"x\":\"y\"},\"s\":\"t\"}");
    CJsonObject& list = object.child("list");
    EXPECT_EQ(&list, &object.child("list"));
    EXPECT_TRUE(list.is_array());
    EXPECT_EQ(list.array_size(), 2);
    EXPECT_EQ(&list.child(1), &list.child(1));
    int32_t n = 0;
    EXPECT_TRUE(list.child(1).get("n", n));
    EXPECT_EQ(n, 2);
    EXPECT_TRUE(list.child(2).is_empty());
    EXPECT_TRUE(list.child(-1).is_empty());
    EXPECT_TRUE(object.child("missing").is_empty());
    EXPECT_TRUE(object.child(0).is_empty());
    EXPECT_TRUE(object.child("o").child(0).is_empty());
    EXPECT_EQ(object.child("s").to_text(), "\"t\"");
    EXPECT_EQ(object.child("o").array_size(), 0);
    EXPECT_FALSE(object.is_array());
    EXPECT_EQ(object.array_size(), 0);
}

TEST(CJsonObject, AddAndAppendBuildDocumentsAndReportWrongTargets) {
    CJsonObject entry;
    entry.add("filePath", "bin/app");
    entry.add("fileSize", int64_t(3000000000));
    CJsonObject list;
    ASSERT_TRUE(list.append(entry));
    ASSERT_TRUE(list.append(entry));
    CJsonObject manifest;
    ASSERT_TRUE(manifest.add("fileList", list));
    EXPECT_EQ(manifest.to_text(),
              "{\n\t\"fileList\":\t[{\n"
              "\t\t\t\"filePath\":\t\"bin/app\",\n\t\t\t\"fileSize\":\t3000000000\n\t\t}, {\n"
              "\t\t\t\"filePath\":\t\"bin/app\",\n\t\t\t\"fileSize\":\t3000000000\n\t\t}]\n}");
    // The added copies are independent of their sources.
    entry.add("extra", 1);
    EXPECT_EQ(manifest.child("fileList").child(0).to_unformatted_text(),
              "{\"filePath\":\"bin/app\",\"fileSize\":3000000000}");

    EXPECT_FALSE(list.add("a", "b"));
    EXPECT_EQ(list.error_text(), "not a json object! json array?");
    EXPECT_FALSE(manifest.append(entry));
    EXPECT_EQ(manifest.error_text(), "not a json array! json object?");
    // An empty wrapper has no text to copy.
    CJsonObject empty, array;
    EXPECT_FALSE(manifest.add("none", empty));
    EXPECT_TRUE(manifest.child("none").is_empty());
    EXPECT_FALSE(array.append(empty));
    EXPECT_EQ(array.error_text(), "prase json string error at ");
    EXPECT_EQ(array.array_size(), 0);
}

TEST(CJsonObject, AddingAnExistingNameReplacesItsValue) {
    CJsonObject object("{\"a\":1,\"b\":2}");
    CJsonObject& a = object.child("a");
    EXPECT_TRUE(object.add("a", "new"));
    EXPECT_EQ(object.to_unformatted_text(), "{\"a\":\"new\",\"b\":2}");
    EXPECT_EQ(a.to_text(), "\"new\"");
    // A name looked up before it was added sees the member afterwards.
    CJsonObject& c = object.child("c");
    EXPECT_TRUE(c.is_empty());
    object.add("c", 3);
    EXPECT_EQ(&c, &object.child("c"));
    EXPECT_EQ(c.to_text(), "3");
    // Adding a wrapper's own member to it is safe.
    EXPECT_TRUE(object.add("d", object.child("b")));
    EXPECT_EQ(object.to_unformatted_text(), "{\"a\":\"new\",\"b\":2,\"c\":3,\"d\":2}");
}

TEST(CJsonObject, CopiesAreDeep) {
    CJsonObject original("{\"a\":{\"b\":1}}");
    CJsonObject copy = original;
    copy.add("c", 2);
    EXPECT_EQ(original.to_unformatted_text(), "{\"a\":{\"b\":1}}");
    CJsonObject assigned;
    assigned = original.child("a");
    EXPECT_EQ(assigned.to_unformatted_text(), "{\"b\":1}");
    original.clear();
    EXPECT_EQ(assigned.to_unformatted_text(), "{\"b\":1}");
}

TEST(CJsonObject, RoundTripsWhatItPrints) {
    CJsonObject manifest;
    CJsonObject list;
    for (int i = 0; i < 50; ++i) {
        CJsonObject entry;
        entry.add("filePath", "dir " + std::to_string(i) + "/\"quoted\"\\\x01\xc3\xa9");
        entry.add("hash", std::string(32, char('a' + i % 6)));
        entry.add("fileSize", int64_t(i) * 123456789012);
        list.append(entry);
    }
    manifest.add("fileList", list);
    manifest.add("version", "1.0.5");
    CJsonObject doubles("{\"x\":[0.1,-3.75,1e300,2.5e-7,1e999]}");
    manifest.add("numbers", doubles);

    const std::string text = manifest.to_text();
    CJsonObject reread;
    ASSERT_TRUE(reread.parse(text)) << reread.error_text();
    EXPECT_EQ(reread.to_text(), text);
    CJsonObject compact(manifest.to_unformatted_text());
    EXPECT_EQ(compact.to_text(), text);

    int64_t size = 0;
    ASSERT_TRUE(reread.child("fileList").child(49).get("fileSize", size));
    EXPECT_EQ(size, int64_t(49) * 123456789012);
}

}  // namespace
}  // namespace neb
