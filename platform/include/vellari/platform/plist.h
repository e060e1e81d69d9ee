#pragma once
// Property lists: values of the platform's property-list types, read from XML or binary
// property-list files and written as XML, through libplist.
//
// What the files can hold, as libplist 2.2 gives it:
// - Integers are signed 64-bit; a file's integer above 2^63 − 1 reads as the same bits
//   (18446744073709551615 reads as −1).
// - Dates are whole seconds in XML (written rounded down) and microseconds in binary
//   (likewise), from 1932-12-13T20:45:52Z to 2069-01-19T03:14:07Z (32-bit seconds from
//   2001). A date outside that range cannot be written.
// - Strings and dictionary keys are UTF-8 without NUL characters; others cannot be written.
// - Reals round-trip exactly through both formats, NaN and the infinities included.
// - Nesting is limited to 512 levels, reading and writing.

#include <chrono>
#include <concepts>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vellari {

class PlistValue;
using PlistArray = std::vector<PlistValue>;
// Ordered by key, as the files are written; `std::less<>` lets string_view keys find.
using PlistDictionary = std::map<std::string, PlistValue, std::less<>>;
using PlistData = std::vector<uint8_t>;
using PlistDate = std::chrono::system_clock::time_point;

class PlistValue {
public:
    enum class Type { Boolean, Integer, Real, String, Data, Date, Array, Dictionary };
    using Storage = std::variant<bool, int64_t, double, std::string, PlistData, PlistDate, PlistArray, PlistDictionary>;

    // An empty dictionary: the root of nearly every property list.
    PlistValue() : v_(PlistDictionary{}) {}
    PlistValue(bool b) : v_(b) {}
    // Any integer type but bool; unsigned values above 2^63 − 1 wrap, as in the files.
    template <std::integral T>
        requires(!std::same_as<T, bool>)
    PlistValue(T i) : v_(static_cast<int64_t>(i)) {}
    PlistValue(double d) : v_(d) {}
    PlistValue(float f) : v_(double(f)) {}
    // Pointers to characters must not fall through to bool.
    PlistValue(const char* s) : v_(std::string(s ? s : "")) {}
    PlistValue(std::string s) : v_(std::move(s)) {}
    PlistValue(std::string_view s) : v_(std::string(s)) {}
    PlistValue(PlistData bytes) : v_(std::move(bytes)) {}
    PlistValue(PlistDate date) : v_(date) {}
    PlistValue(PlistArray array) : v_(std::move(array)) {}
    PlistValue(PlistDictionary dictionary) : v_(std::move(dictionary)) {}
    template <class T>
    PlistValue(const T*) = delete;  // no other pointer turns into bool silently

    Type type() const { return Type(v_.index()); }
    bool isBoolean() const { return type() == Type::Boolean; }
    bool isInteger() const { return type() == Type::Integer; }
    bool isReal() const { return type() == Type::Real; }
    bool isNumber() const { return isBoolean() || isInteger() || isReal(); }
    bool isString() const { return type() == Type::String; }
    bool isData() const { return type() == Type::Data; }
    bool isDate() const { return type() == Type::Date; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }

    // Numbers read across their kinds (true is 1); anything else gives the fallback.
    double number(double fallback = 0.0) const;
    // Reals are truncated towards zero; those beyond the int64 range give the fallback.
    int64_t integer(int64_t fallback = 0) const;
    // Booleans, and numbers as "not zero".
    bool boolean(bool fallback = false) const;
    std::string string(std::string_view fallback = {}) const;
    PlistDate date(PlistDate fallback = {}) const;
    const PlistData* data() const { return std::get_if<PlistData>(&v_); }
    const PlistArray* array() const { return std::get_if<PlistArray>(&v_); }
    PlistArray* array() { return std::get_if<PlistArray>(&v_); }
    const PlistDictionary* dictionary() const { return std::get_if<PlistDictionary>(&v_); }
    PlistDictionary* dictionary() { return std::get_if<PlistDictionary>(&v_); }

    // The value under `key` of a dictionary; nullptr when absent or not a dictionary.
    const PlistValue* find(std::string_view key) const;
    PlistValue* find(std::string_view key);

    const Storage& storage() const { return v_; }

    // Same type and equal contents (so integer 3 and real 3.0 differ, and NaN != NaN).
    friend bool operator==(const PlistValue& a, const PlistValue& b) { return a.v_ == b.v_; }

private:
    Storage v_;
};

// Reads an XML or binary property list. Nullopt with `error` set when the data is empty,
// truncated, malformed or holds a type this layer does not carry (keyed-archive UIDs).
std::optional<PlistValue> parsePlist(std::span<const uint8_t> data, std::string* error = nullptr);
// As parsePlist, with every message naming the file.
std::optional<PlistValue> readPlistFile(const std::string& path, std::string* error = nullptr);

// The XML (or binary) form; empty with `error` set when the value cannot be written (see
// the limits above).
std::vector<uint8_t> serializePlistXML(const PlistValue& value, std::string* error = nullptr);
std::vector<uint8_t> serializePlistBinary(const PlistValue& value, std::string* error = nullptr);
// Writes the XML form atomically; on failure the previous file is left as it was. Returns
// an empty string on success, else the message naming the file.
std::string writePlistFile(const PlistValue& value, const std::string& path);

}  // namespace vellari
