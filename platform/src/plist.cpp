#include "vellari/platform/plist.h"

#include <locale.h>
#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "vellari/platform/picture.h"

namespace vellari {

// ---------------------------------------------------------------------------------------
// Values

double PlistValue::number(double fallback) const {
    if (auto* b = std::get_if<bool>(&v_)) return *b ? 1.0 : 0.0;
    if (auto* i = std::get_if<int64_t>(&v_)) return double(*i);
    if (auto* d = std::get_if<double>(&v_)) return *d;
    return fallback;
}

int64_t PlistValue::integer(int64_t fallback) const {
    if (auto* b = std::get_if<bool>(&v_)) return *b ? 1 : 0;
    if (auto* i = std::get_if<int64_t>(&v_)) return *i;
    if (auto* d = std::get_if<double>(&v_)) {
        // 2^63 is exact as a double; anything at or above it (or NaN) does not fit.
        constexpr double limit = 9223372036854775808.0;
        if (*d >= -limit && *d < limit) return int64_t(*d);
    }
    return fallback;
}

bool PlistValue::boolean(bool fallback) const {
    if (auto* b = std::get_if<bool>(&v_)) return *b;
    if (auto* i = std::get_if<int64_t>(&v_)) return *i != 0;
    if (auto* d = std::get_if<double>(&v_)) return *d != 0.0;
    return fallback;
}

std::string PlistValue::string(std::string_view fallback) const {
    if (auto* s = std::get_if<std::string>(&v_)) return *s;
    return std::string(fallback);
}

PlistDate PlistValue::date(PlistDate fallback) const {
    if (auto* d = std::get_if<PlistDate>(&v_)) return *d;
    return fallback;
}

const PlistValue* PlistValue::find(std::string_view key) const {
    const auto* dict = dictionary();
    if (!dict) return nullptr;
    auto it = dict->find(key);
    return it == dict->end() ? nullptr : &it->second;
}

PlistValue* PlistValue::find(std::string_view key) {
    return const_cast<PlistValue*>(std::as_const(*this).find(key));
}

// ---------------------------------------------------------------------------------------
// libplist

namespace {

constexpr int kMaxDepth = 512;
// Dates in the files count from 2001-01-01T00:00:00Z.
constexpr std::chrono::seconds kEpoch2001{978307200};

struct PlistFree {
    void operator()(void* node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, PlistFree>;

// libplist formats and parses reals with the C library, which follows the thread's
// locale: a decimal comma would corrupt every real. Pin this thread to "C" meanwhile.
class CNumericLocale {
public:
    CNumericLocale() {
        c_ = ::newlocale(LC_NUMERIC_MASK, "C", locale_t(0));
        if (c_) previous_ = ::uselocale(c_);
    }
    ~CNumericLocale() {
        if (!c_) return;
        ::uselocale(previous_);
        ::freelocale(c_);
    }
    CNumericLocale(const CNumericLocale&) = delete;
    CNumericLocale& operator=(const CNumericLocale&) = delete;

private:
    locale_t c_ = locale_t(0);
    locale_t previous_ = locale_t(0);
};

// Strict UTF-8: no overlong forms, surrogates or code points above U+10FFFF, and no NUL,
// which the library's C strings would cut short.
bool validText(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = uint8_t(s[i]);
        if (c == 0) return false;
        if (c < 0x80) {
            ++i;
            continue;
        }
        int extra;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) extra = 1, cp = c & 0x1F;
        else if (c >= 0xE0 && c <= 0xEF) extra = 2, cp = c & 0x0F;
        else if (c >= 0xF0 && c <= 0xF4) extra = 3, cp = c & 0x07;
        else return false;
        if (s.size() - i <= size_t(extra)) return false;
        for (int k = 1; k <= extra; ++k) {
            const auto d = uint8_t(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += size_t(extra) + 1;
    }
    return true;
}

std::string quoted(std::string_view key) {
    std::string out = "\"";
    for (char c : key) out += (c == '\0') ? std::string("\\0") : std::string(1, c);
    return out + "\"";
}

Node toNode(const PlistValue& value, bool wholeSeconds, int depth, std::string& error) {
    if (depth > kMaxDepth) {
        error = "nested deeper than " + std::to_string(kMaxDepth) + " levels";
        return nullptr;
    }
    switch (value.type()) {
        case PlistValue::Type::Boolean: return Node(plist_new_bool(value.boolean() ? 1 : 0));
        case PlistValue::Type::Integer: return Node(plist_new_uint(uint64_t(value.integer())));
        case PlistValue::Type::Real: return Node(plist_new_real(std::get<double>(value.storage())));
        case PlistValue::Type::String: {
            const auto& s = std::get<std::string>(value.storage());
            if (!validText(s)) {
                error = "a string is not valid UTF-8 text (or holds a NUL character)";
                return nullptr;
            }
            return Node(plist_new_string(s.c_str()));
        }
        case PlistValue::Type::Data: {
            const auto& d = *value.data();
            static const char none = 0;
            return Node(plist_new_data(d.empty() ? &none : reinterpret_cast<const char*>(d.data()), d.size()));
        }
        case PlistValue::Type::Date: {
            using namespace std::chrono;
            const auto since2001 = floor<microseconds>(value.date().time_since_epoch()) - kEpoch2001;
            int64_t sec = floor<seconds>(since2001).count();
            int64_t usec = (since2001 - seconds(sec)).count();
            if (sec < std::numeric_limits<int32_t>::min() || sec > std::numeric_limits<int32_t>::max()) {
                error = "a date lies outside 1932-12-13 to 2069-01-19, which property lists here cannot hold";
                return nullptr;
            }
            if (wholeSeconds) usec = 0;
            return Node(plist_new_date(int32_t(sec), int32_t(usec)));
        }
        case PlistValue::Type::Array: {
            Node node(plist_new_array());
            for (const auto& item : *value.array()) {
                Node child = toNode(item, wholeSeconds, depth + 1, error);
                if (!child) return nullptr;
                plist_array_append_item(node.get(), child.release());
            }
            return node;
        }
        case PlistValue::Type::Dictionary: {
            Node node(plist_new_dict());
            for (const auto& [key, item] : *value.dictionary()) {
                if (!validText(key)) {
                    error = "the key " + quoted(key) + " is not valid UTF-8 text (or holds a NUL character)";
                    return nullptr;
                }
                Node child = toNode(item, wholeSeconds, depth + 1, error);
                if (!child) return nullptr;
                plist_dict_set_item(node.get(), key.c_str(), child.release());
            }
            return node;
        }
    }
    error = "unknown value type";
    return nullptr;
}

std::optional<PlistValue> fromNode(plist_t node, int depth, std::string& error) {
    if (depth > kMaxDepth) {
        error = "nested deeper than " + std::to_string(kMaxDepth) + " levels";
        return std::nullopt;
    }
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return PlistValue(b != 0);
        }
        case PLIST_UINT: {
            // The library keeps every integer as 64 bits; signed is what the files mean.
            uint64_t u = 0;
            plist_get_uint_val(node, &u);
            return PlistValue(int64_t(u));
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return PlistValue(d);
        }
        case PLIST_STRING: {
            uint64_t n = 0;
            const char* s = plist_get_string_ptr(node, &n);
            return PlistValue(std::string(s ? s : "", s ? size_t(n) : 0));
        }
        case PLIST_DATA: {
            uint64_t n = 0;
            const char* p = plist_get_data_ptr(node, &n);
            const auto* b = reinterpret_cast<const uint8_t*>(p);
            return PlistValue(p ? PlistData(b, b + n) : PlistData{});
        }
        case PLIST_DATE: {
            // The library splits the seconds by truncation and hands back the fraction's
            // magnitude, so a date before 2001 has its fraction subtracted. (Dates within
            // the second before 2001 read as after it: the sign is lost there.)
            int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            int64_t micros = int64_t(sec) * 1000000 + (sec < 0 ? -int64_t(usec) : int64_t(usec));
            return PlistValue(PlistDate(std::chrono::duration_cast<PlistDate::duration>(
                kEpoch2001 + std::chrono::microseconds(micros))));
        }
        case PLIST_ARRAY: {
            PlistArray out;
            const uint32_t n = plist_array_get_size(node);
            out.reserve(n);
            for (uint32_t i = 0; i < n; ++i) {
                auto item = fromNode(plist_array_get_item(node, i), depth + 1, error);
                if (!item) return std::nullopt;
                out.push_back(std::move(*item));
            }
            return PlistValue(std::move(out));
        }
        case PLIST_DICT: {
            PlistDictionary out;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            if (!it) return PlistValue(std::move(out));
            std::unique_ptr<void, decltype(&std::free)> iterGuard(it, &std::free);
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, it, &key, &item);
                std::unique_ptr<char, decltype(&std::free)> keyGuard(key, &std::free);
                if (!item) break;
                auto converted = fromNode(item, depth + 1, error);
                if (!converted) return std::nullopt;
                out.insert_or_assign(std::string(key ? key : ""), std::move(*converted));
            }
            return PlistValue(std::move(out));
        }
        case PLIST_UID: error = "holds a keyed-archive UID, which is not supported"; return std::nullopt;
        default: error = "holds a value of an unknown type"; return std::nullopt;
    }
}

bool isBlank(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0'; }

// The XML reader accepts a document that stops after its last value; a file cut there
// has still lost its end, so the closing tag must be present.
bool endsWithClosingTag(std::span<const uint8_t> data) {
    size_t end = data.size();
    while (end > 0 && isBlank(data[end - 1])) --end;
    static constexpr std::string_view tag = "</plist>";
    return end >= tag.size() && std::memcmp(data.data() + end - tag.size(), tag.data(), tag.size()) == 0;
}

bool looksLikeXML(std::span<const uint8_t> data) {
    size_t i = 0;
    if (data.size() >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) i = 3;  // BOM
    while (i < data.size() && isBlank(data[i])) ++i;
    return i < data.size() && data[i] == '<';
}

std::vector<uint8_t> serialize(const PlistValue& value, bool xml, std::string* error) {
    std::string why;
    Node root = toNode(value, xml, 0, why);
    if (!root) {
        if (error) *error = "cannot be written as a property list: " + why;
        return {};
    }
    CNumericLocale cLocale;
    char* out = nullptr;
    uint32_t length = 0;
    if (xml) plist_to_xml(root.get(), &out, &length);
    else plist_to_bin(root.get(), &out, &length);
    std::vector<uint8_t> bytes;
    if (out) bytes.assign(reinterpret_cast<const uint8_t*>(out), reinterpret_cast<const uint8_t*>(out) + length);
    if (xml) plist_to_xml_free(out);
    else plist_to_bin_free(out);
    if (bytes.empty() && error) *error = "the property-list library produced no output";
    return bytes;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Reading and writing

std::optional<PlistValue> parsePlist(std::span<const uint8_t> data, std::string* error) {
    auto fail = [&](std::string message) -> std::optional<PlistValue> {
        if (error) *error = std::move(message);
        return std::nullopt;
    };
    if (data.empty()) return fail("empty, not a property list");
    if (data.size() > std::numeric_limits<uint32_t>::max()) return fail("too large for a property list (over 4 GiB)");

    const auto* chars = reinterpret_cast<const char*>(data.data());
    const auto length = uint32_t(data.size());
    const bool binary = plist_is_binary(chars, length) != 0;
    if (!binary && !looksLikeXML(data)) return fail("not a property list (neither XML nor binary)");
    if (!binary && !endsWithClosingTag(data)) return fail("truncated XML property list (no closing </plist>)");

    plist_t raw = nullptr;
    {
        CNumericLocale cLocale;
        if (binary) plist_from_bin(chars, length, &raw);
        else plist_from_xml(chars, length, &raw);
    }
    Node root(raw);
    if (!root) return fail(binary ? "malformed or truncated binary property list" : "malformed XML property list");

    std::string why;
    auto value = fromNode(root.get(), 0, why);
    if (!value) return fail(why);
    return value;
}

std::optional<PlistValue> readPlistFile(const std::string& path, std::string* error) {
    std::string why;
    auto bytes = readFileBytes(path, &why);
    if (!bytes) {
        if (error) *error = why.empty() ? path + ": cannot be read" : why;
        return std::nullopt;
    }
    auto value = parsePlist(*bytes, &why);
    if (!value && error) *error = path + ": " + why;
    return value;
}

std::vector<uint8_t> serializePlistXML(const PlistValue& value, std::string* error) {
    return serialize(value, true, error);
}

std::vector<uint8_t> serializePlistBinary(const PlistValue& value, std::string* error) {
    return serialize(value, false, error);
}

std::string writePlistFile(const PlistValue& value, const std::string& path) {
    std::string why;
    auto bytes = serializePlistXML(value, &why);
    if (bytes.empty()) return path + ": " + why;
    return writeFileAtomically(path, bytes);
}

}  // namespace vellari
