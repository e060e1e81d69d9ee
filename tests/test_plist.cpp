// Property lists: the value type, reading XML and binary files, writing XML atomically.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>

#include "test_support.h"
#include "vellari/platform/plist.h"

namespace vellari {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

std::span<const uint8_t> bytesOf(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }
std::string textOf(const std::vector<uint8_t>& b) { return {b.begin(), b.end()}; }

void writeRaw(const fs::path& p, std::string_view bytes) { std::ofstream(p, std::ios::binary) << bytes; }
std::string readRaw(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

PlistDate utc(int64_t unixSeconds, int64_t micros = 0) {
    return PlistDate(duration_cast<PlistDate::duration>(seconds(unixSeconds) + microseconds(micros)));
}

// Every type, nested, with the awkward values of each.
PlistValue everything() {
    PlistData bytes(256);
    for (int i = 0; i < 256; ++i) bytes[size_t(i)] = uint8_t(i);
    PlistDictionary inner{{"flag", false}, {"list", PlistArray{int64_t{1}, 2.5, "two", PlistArray{}}}, {"empty", PlistDictionary{}}};
    return PlistDictionary{
        {"yes", true},
        {"no", false},
        {"int", int64_t{3}},
        {"negative", int64_t{-42}},
        {"int64max", std::numeric_limits<int64_t>::max()},
        {"int64min", std::numeric_limits<int64_t>::min()},
        {"real", 0.1},
        {"tiny", 5e-324},
        {"huge", -1.7976931348623157e308},
        {"infinity", std::numeric_limits<double>::infinity()},
        {"text", "a<b> & \"c\" 'd' é ☺ \xF0\x9F\x8E\xA8"},
        {"emptyText", ""},
        {"data", bytes},
        {"emptyData", PlistData{}},
        {"date", utc(1719835200)},        // 2024-07-01T12:00:00Z
        {"before2001", utc(-631152000)},  // 1950-01-01
        {"inner", inner},
        {"", "empty key"},
        {"key with spaces & <marks>", PlistArray{PlistDictionary{{"deep", 1}}}},
    };
}

TEST(PlistValue, ConstructorsPickTheNaturalType) {
    const char* pointer = "pointer";
    EXPECT_TRUE(PlistValue(0.5).isReal());
    EXPECT_EQ(PlistValue("text").type(), PlistValue::Type::String);
    EXPECT_EQ(PlistValue(pointer).string(), "pointer");
    EXPECT_TRUE(PlistValue(true).isBoolean());
    EXPECT_TRUE(PlistValue(int64_t{3}).isInteger());
    EXPECT_TRUE(PlistValue(3).isInteger());
    EXPECT_TRUE(PlistValue(uint8_t{200}).isInteger());
    EXPECT_EQ(PlistValue(uint8_t{200}).integer(), 200);
    EXPECT_TRUE(PlistValue(PlistData{1, 2}).isData());
    EXPECT_TRUE(PlistValue(system_clock::now()).isDate());
    EXPECT_TRUE(PlistValue().isDictionary());
    EXPECT_TRUE(PlistValue(PlistArray{1, "a", true}).isArray());
}

TEST(PlistValue, AccessorsReadAcrossNumberKindsAndFallBackOtherwise) {
    EXPECT_DOUBLE_EQ(PlistValue(int64_t{3}).number(), 3.0);
    EXPECT_DOUBLE_EQ(PlistValue(true).number(), 1.0);
    EXPECT_DOUBLE_EQ(PlistValue(0.25).number(-1), 0.25);
    EXPECT_DOUBLE_EQ(PlistValue("0.25").number(-1), -1.0);
    EXPECT_FALSE(PlistValue("1").isNumber());

    EXPECT_EQ(PlistValue(-2.9).integer(), -2);
    EXPECT_EQ(PlistValue(1e300).integer(7), 7);
    EXPECT_EQ(PlistValue(std::nan("")).integer(7), 7);
    EXPECT_EQ(PlistValue(-9223372036854775808.0).integer(), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(PlistValue("3").integer(7), 7);

    EXPECT_TRUE(PlistValue(int64_t{2}).boolean());
    EXPECT_FALSE(PlistValue(0.0).boolean(true));
    EXPECT_TRUE(PlistValue("no").boolean(true));
    EXPECT_EQ(PlistValue(5).string("fallback"), "fallback");
    EXPECT_EQ(PlistValue(5).date(utc(1)), utc(1));
    EXPECT_EQ(PlistValue(5).array(), nullptr);
    EXPECT_EQ(PlistValue(5).dictionary(), nullptr);

    PlistValue dict = PlistDictionary{{"brightness", 0.1}};
    ASSERT_NE(dict.find("brightness"), nullptr);
    EXPECT_DOUBLE_EQ(dict.find("brightness")->number(), 0.1);
    EXPECT_EQ(dict.find("missing"), nullptr);
    EXPECT_EQ(PlistValue(PlistArray{}).find("brightness"), nullptr);
    *dict.find("brightness") = 0.5;
    (*dict.dictionary())["added"] = true;
    EXPECT_EQ(dict, PlistValue(PlistDictionary{{"added", true}, {"brightness", 0.5}}));

    // Equality is by type as well as value.
    EXPECT_NE(PlistValue(int64_t{3}), PlistValue(3.0));
    EXPECT_NE(PlistValue(int64_t{1}), PlistValue(true));
    EXPECT_NE(PlistValue("3"), PlistValue(int64_t{3}));
}

TEST(Plist, RoundTripsEveryTypeThroughXMLBinaryAndAFile) {
    const PlistValue value = everything();
    std::string error;

    auto xml = serializePlistXML(value, &error);
    ASSERT_FALSE(xml.empty()) << error;
    const std::string text = textOf(xml);
    EXPECT_NE(text.find("<key>int</key>\n\t<integer>3</integer>"), std::string::npos) << text;
    EXPECT_NE(text.find("<date>2024-07-01T12:00:00Z</date>"), std::string::npos);
    EXPECT_NE(text.find("a&lt;b&gt; &amp;"), std::string::npos);
    auto fromXML = parsePlist(xml, &error);
    ASSERT_TRUE(fromXML) << error;
    EXPECT_EQ(*fromXML, value);

    auto binary = serializePlistBinary(value, &error);
    ASSERT_FALSE(binary.empty()) << error;
    EXPECT_EQ(textOf(binary).substr(0, 8), "bplist00");
    auto fromBinary = parsePlist(binary, &error);
    ASSERT_TRUE(fromBinary) << error;
    EXPECT_EQ(*fromBinary, value);

    const fs::path file = fs::path(test::tempDir()) / "Everything.plist";
    ASSERT_EQ(writePlistFile(value, file.string()), "");
    auto fromFile = readPlistFile(file.string(), &error);
    ASSERT_TRUE(fromFile) << error;
    EXPECT_EQ(*fromFile, value);
    EXPECT_EQ(readRaw(file), text);

    // NaN compares unequal to itself, so on its own.
    auto nan = parsePlist(serializePlistXML(PlistArray{std::nan("")}), &error);
    ASSERT_TRUE(nan && nan->array() && nan->array()->size() == 1) << error;
    EXPECT_TRUE(std::isnan((*nan->array())[0].number()));
}

TEST(Plist, DatesKeepWholeSecondsInXMLAndMicrosecondsInBinary) {
    // Fractions on both sides of 2001, where the library's split of seconds changes sign.
    const PlistValue dates = PlistArray{utc(1719835200, 250000), utc(-631152000, 750000), utc(978307100, 500000)};
    std::string error;
    auto binary = parsePlist(serializePlistBinary(dates), &error);
    ASSERT_TRUE(binary) << error;
    EXPECT_EQ(*binary, dates);

    auto xml = parsePlist(serializePlistXML(dates), &error);
    ASSERT_TRUE(xml) << error;
    EXPECT_EQ(*xml, PlistValue(PlistArray{utc(1719835200), utc(-631152000), utc(978307100)}));
}

TEST(Plist, ReadsHandWrittenSettings) {
    constexpr std::string_view settings = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
    <key>brightness</key>
    <real>0.1</real>
    <key>enhance</key>
    <true/>
    <key>shadowColor</key>
    <integer>3</integer>
    <key>shadowColorForFilter.secondaryValue</key>
    <real>-0.5</real>
    <key>contrast</key>
    <real>2</real>
    <key>name</key>
    <string>Comic &amp; Ink</string>
    <key>stages</key>
    <array><integer>0</integer><integer>-2</integer></array>
</dict>
</plist>
)";
    const fs::path file = fs::path(test::tempDir()) / "Comic Boost 3.plist";
    writeRaw(file, settings);
    std::string error;
    auto value = readPlistFile(file.string(), &error);
    ASSERT_TRUE(value) << error;
    ASSERT_TRUE(value->isDictionary());
    EXPECT_EQ(value->dictionary()->size(), 7u);
    ASSERT_NE(value->find("brightness"), nullptr);
    EXPECT_TRUE(value->find("brightness")->isReal());
    EXPECT_DOUBLE_EQ(value->find("brightness")->number(), 0.1);
    EXPECT_EQ(*value->find("enhance"), PlistValue(true));
    EXPECT_EQ(*value->find("shadowColor"), PlistValue(int64_t{3}));
    EXPECT_EQ(*value->find("shadowColorForFilter.secondaryValue"), PlistValue(-0.5));
    EXPECT_EQ(*value->find("contrast"), PlistValue(2.0));  // a real although written whole
    EXPECT_EQ(value->find("name")->string(), "Comic & Ink");
    EXPECT_EQ(*value->find("stages"), PlistValue(PlistArray{int64_t{0}, int64_t{-2}}));

    // Integers and reals stay apart when written back.
    const std::string rewritten = textOf(serializePlistXML(*value));
    EXPECT_NE(rewritten.find("<key>contrast</key>\n\t<real>2</real>"), std::string::npos) << rewritten;
    EXPECT_NE(rewritten.find("<key>shadowColor</key>\n\t<integer>3</integer>"), std::string::npos);
    auto again = parsePlist(bytesOf(rewritten), &error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(*again, *value);
}

TEST(Plist, ReadsBinaryFromAnotherWriter) {
    // {"brightness": 0.25, "enhance": true, "shadowColor": 3, "name": "Ink é"}, the name
    // stored as UTF-16.
    static const uint8_t bplist[] = {
        0x62, 0x70, 0x6c, 0x69, 0x73, 0x74, 0x30, 0x30, 0xd4, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x5a,
        0x62, 0x72, 0x69, 0x67, 0x68, 0x74, 0x6e, 0x65, 0x73, 0x73, 0x57, 0x65, 0x6e, 0x68, 0x61, 0x6e, 0x63, 0x65,
        0x54, 0x6e, 0x61, 0x6d, 0x65, 0x5b, 0x73, 0x68, 0x61, 0x64, 0x6f, 0x77, 0x43, 0x6f, 0x6c, 0x6f, 0x72, 0x23,
        0x3f, 0xd0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x65, 0x00, 0x49, 0x00, 0x6e, 0x00, 0x6b, 0x00, 0x20,
        0x00, 0xe9, 0x10, 0x03, 0x08, 0x11, 0x1c, 0x24, 0x29, 0x35, 0x3e, 0x3f, 0x4a, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x4c};
    std::string error;
    auto value = parsePlist(bplist, &error);
    ASSERT_TRUE(value) << error;
    EXPECT_EQ(*value, PlistValue(PlistDictionary{
                          {"brightness", 0.25}, {"enhance", true}, {"shadowColor", int64_t{3}}, {"name", "Ink é"}}));

    // Cut short anywhere, it is refused.
    for (size_t n : {size_t(8), size_t(40), sizeof bplist - 1}) {
        error.clear();
        EXPECT_FALSE(parsePlist(std::span(bplist, n), &error)) << n;
        EXPECT_NE(error.find("binary"), std::string::npos) << error;
    }
}

TEST(Plist, BadFilesGiveMessagesNamingTheFile) {
    const fs::path dir = test::tempDir();
    const std::string good = textOf(serializePlistXML(everything()));
    std::string deep = "<plist>";
    for (int i = 0; i < 600; ++i) deep += "<array>";
    for (int i = 0; i < 600; ++i) deep += "</array>";
    deep += "</plist>";
    // A keyed-archive UID (1) as the only object of a binary list.
    const std::string uidBinary("bplist00\x80\x01\x08\0\0\0\0\0\0\x01\x01"
                                "\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x0a",
                                43);
    struct Case {
        std::string name, contents, cause;
    };
    const Case cases[] = {
        {"empty.plist", "", "empty"},
        {"text.plist", "brightness = 0.1\n", "not a property list"},
        {"unclosed.plist", "<plist version=\"1.0\"><dict><key>a</key><real>1</real></plist>", "malformed"},
        {"mismatched.plist", "<plist><dict><key>a</key><real>1</array></dict></plist>", "malformed"},
        {"halfway.plist", good.substr(0, good.size() / 2), "truncated"},
        {"lastTagCut.plist", good.substr(0, good.size() - 4), "truncated"},
        {"noRoot.plist", "<?xml version=\"1.0\"?>\n", "truncated"},
        {"uid.plist", uidBinary, "UID"},
        {"deep.plist", deep, "nested deeper"},
        {"binaryHeaderOnly.plist", "bplist00", "binary"},
    };
    for (const auto& c : cases) {
        const fs::path file = dir / c.name;
        writeRaw(file, c.contents);
        std::string error;
        EXPECT_FALSE(readPlistFile(file.string(), &error)) << c.name;
        EXPECT_EQ(error.rfind(file.string() + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(c.cause), std::string::npos) << error;
    }
    std::string error;
    EXPECT_FALSE(readPlistFile((dir / "missing.plist").string(), &error));
    EXPECT_NE(error.find((dir / "missing.plist").string()), std::string::npos) << error;
    EXPECT_NE(error.find("no such file"), std::string::npos) << error;
    EXPECT_FALSE(readPlistFile(dir.string(), &error));
    EXPECT_NE(error.find(dir.string()), std::string::npos) << error;
    EXPECT_FALSE(parsePlist({}, nullptr));  // no error out-parameter needed
}

TEST(Plist, AtomicWriteKeepsTheOldFileWhenItFails) {
    const fs::path dir = test::tempDir();
    const fs::path file = dir / "Settings.plist";
    const PlistValue old = PlistDictionary{{"brightness", 0.1}};
    ASSERT_EQ(writePlistFile(old, file.string()), "");
    const std::string oldBytes = readRaw(file);
    ASSERT_EQ(writePlistFile(PlistDictionary{{"brightness", 0.2}}, file.string()), "");
    EXPECT_EQ(readPlistFile(file.string())->find("brightness")->number(), 0.2);
    writeRaw(file, oldBytes);

    // Values the files cannot hold: nothing is written and the message says why.
    PlistValue tooDeep = PlistArray{};
    for (int i = 0; i < 600; ++i) tooDeep = PlistArray{tooDeep};
    const std::pair<const char*, PlistValue> unwritable[] = {
        {"UTF-8", PlistDictionary{{"name", std::string("bad \xFF\xFE")}}},
        {"UTF-8", PlistArray{std::string("overlong \xC0\xAF")}},
        {"NUL", PlistDictionary{{std::string("a\0b", 3), 1}}},
        {"NUL", PlistArray{std::string("a\0b", 3)}},
        {"date", PlistArray{utc(978307200 + (int64_t{1} << 31))}},
        {"date", PlistArray{utc(978307200 - (int64_t{1} << 31) - 1)}},
        {"nested", tooDeep},
    };
    for (const auto& [why, value] : unwritable) {
        std::string error;
        EXPECT_TRUE(serializePlistXML(value, &error).empty()) << why;
        EXPECT_NE(error.find(why), std::string::npos) << error;
        const std::string message = writePlistFile(value, file.string());
        EXPECT_EQ(message.rfind(file.string() + ": ", 0), 0u) << message;
        EXPECT_NE(message.find(why), std::string::npos) << message;
        EXPECT_EQ(readRaw(file), oldBytes) << why;
    }
    // The limits themselves are writable.
    EXPECT_FALSE(serializePlistXML(PlistArray{utc(978307200 + (int64_t{1} << 31) - 1)}).empty());
    EXPECT_FALSE(serializePlistXML(PlistArray{utc(978307200 - (int64_t{1} << 31))}).empty());

    // A folder that cannot be written, and a "folder" that is a file.
    const fs::path blocker = dir / "notAFolder";
    writeRaw(blocker, "x");
    EXPECT_NE(writePlistFile(old, (blocker / "Settings.plist").string()).find((blocker / "Settings.plist").string()),
              std::string::npos);
    ASSERT_EQ(::chmod(dir.c_str(), 0555), 0);
    if (::access(dir.c_str(), W_OK) == 0) {
        std::cout << "[ note ] running with the right to write anywhere: the read-only folder case is skipped\n";
    } else {
        const std::string message = writePlistFile(PlistDictionary{{"brightness", 0.9}}, file.string());
        EXPECT_NE(message.find(file.string()), std::string::npos) << message;
        EXPECT_EQ(readRaw(file), oldBytes);
    }
    ::chmod(dir.c_str(), 0755);
    EXPECT_EQ(entries(dir), (std::vector<std::string>{"Settings.plist", "notAFolder"}));
}

}  // namespace
}  // namespace vellari
