#include "style_names.h"

#include <cctype>
#include <charconv>

namespace vellari::cli {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Single-line form, lower case, for comparing what a user typed with a display name.
std::string comparable(const std::string& s) { return asciiLower(singleLineName(s)); }

}  // namespace

std::string asciiLower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string singleLineName(const std::string& displayName) {
    std::string out;
    bool pendingSpace = false;
    for (char c : displayName) {
        if (isSpace(c)) {
            pendingSpace = !out.empty();
            continue;
        }
        if (pendingSpace) out += ' ';
        pendingSpace = false;
        out += c;
    }
    return out;
}

std::string fileNameSlug(const std::string& displayName) {
    std::string out;
    bool pendingDash = false;
    for (char c : displayName) {
        const auto u = static_cast<unsigned char>(c);
        // Letters and digits of ASCII only, so the name is safe on every file system.
        if (u < 0x80 && std::isalnum(u)) {
            if (pendingDash) out += '-';
            pendingDash = false;
            out += char(std::tolower(u));
        } else {
            pendingDash = !out.empty();
        }
    }
    return out.empty() ? "style" : out;
}

std::optional<size_t> findStyle(const std::vector<std::string>& displayNames, const std::string& query) {
    const std::string wanted = comparable(query);
    if (wanted.empty()) return std::nullopt;

    // An index is all digits; a name that is only digits would be shadowed, and none is.
    size_t index = 0;
    const char* end = wanted.data() + wanted.size();
    if (auto [p, ec] = std::from_chars(wanted.data(), end, index); ec == std::errc() && p == end)
        return index < displayNames.size() ? std::optional<size_t>(index) : std::nullopt;

    for (size_t i = 0; i < displayNames.size(); ++i)
        if (comparable(displayNames[i]) == wanted) return i;
    return std::nullopt;
}

}  // namespace vellari::cli
