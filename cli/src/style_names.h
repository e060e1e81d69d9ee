#pragma once
// How styles are named on the command line: their display names on one line, the short
// form used in file names, and picking one by name or by index.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vellari::cli {

// `s` with its ASCII letters in lower case, for comparing what a user typed.
std::string asciiLower(std::string s);

// The display name on one line: each line break (and run of spaces) becomes one space.
std::string singleLineName(const std::string& displayName);

// The display name for a file name: lower case letters and digits, words joined by "-"
// ("Blue Line\nInk" gives "blue-line-ink"); "style" when nothing is left.
std::string fileNameSlug(const std::string& displayName);

// The position in `displayNames` of the style that `query` names: a decimal index, or a
// display name written on one line, compared without regard to case or spacing.
// Nothing when no style matches.
std::optional<size_t> findStyle(const std::vector<std::string>& displayNames, const std::string& query);

}  // namespace vellari::cli
