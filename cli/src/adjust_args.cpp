#include "adjust_args.h"

#include <cctype>
#include <charconv>
#include <cmath>

#include <fmt/format.h>

#include "vellari/adjustments/standard_adjustments.h"

namespace vellari::cli {

namespace {

std::string lower(std::string_view s) {
    std::string out;
    for (char c : s) out += char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

std::optional<double> parseNumber(std::string_view s) {
    s = trimmed(s);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    double v = 0;
    const char* end = s.data() + s.size();
    auto [p, ec] = std::from_chars(s.data(), end, v);
    if (s.empty() || ec != std::errc() || p != end || !std::isfinite(v)) return std::nullopt;
    return v;
}

// The kinds that the adjustments object holds and shows as controls: the others are
// either absent from it or carry a style's own settings.
std::vector<AdjustmentType> adjustableKinds() {
    std::vector<AdjustmentType> out;
    const QXFilterStandardAdjustments probe(false);
    for (const auto& f : probe.filters)
        if (f && f->hasUI && controlType(f->type) != AdjustmentControlType::undefined) out.push_back(f->type);
    return out;
}

std::string rangeText(AdjustmentType type) {
    return fmt::format("{:g}...{:g}", minimumValue(type), maximumValue(type));
}

}  // namespace

std::vector<std::string> adjustableKindNames() {
    std::vector<std::string> out;
    for (AdjustmentType t : adjustableKinds()) out.emplace_back(rawValue(t));
    return out;
}

std::variant<AdjustSetting, std::string> parseAdjustSetting(const std::string& text) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos)
        return fmt::format("--adjust \"{}\": expected KIND=VALUE, for example brightness=0.25", text);
    const std::string_view kindText = trimmed(std::string_view(text).substr(0, eq));
    const std::string_view valueText = trimmed(std::string_view(text).substr(eq + 1));

    std::optional<AdjustmentType> kind;
    for (AdjustmentType t : adjustableKinds())
        if (lower(rawValue(t)) == lower(kindText)) kind = t;
    if (!kind) {
        std::string names;
        for (const auto& n : adjustableKindNames()) names += (names.empty() ? "" : ", ") + n;
        return fmt::format("--adjust \"{}\": unknown adjustment \"{}\" (one of {})", text, kindText, names);
    }

    AdjustSetting setting;
    setting.type = *kind;

    if (isUserColorType(*kind)) {
        // A palette index or colour name, then optionally ":" and the wash opacity.
        std::string_view colour = valueText, opacity;
        if (const size_t colon = valueText.find(':'); colon != std::string_view::npos) {
            colour = trimmed(valueText.substr(0, colon));
            opacity = trimmed(valueText.substr(colon + 1));
        }
        std::optional<int> index;
        for (int i = 0; i < kAdjustmentColorCount; ++i)
            if (auto name = adjustmentColorName(i); name && lower(*name) == lower(colour)) index = i;
        if (!index) {
            if (auto n = parseNumber(colour); n && *n == std::floor(*n) && *n >= minimumValue(*kind) &&
                                              *n <= maximumValue(*kind))
                index = int(*n);
        }
        if (!index) {
            std::string names;
            for (int i = 0; i < kAdjustmentColorCount; ++i)
                names += fmt::format("{}{} {}", i ? ", " : "", i, *adjustmentColorName(i));
            return fmt::format("--adjust \"{}\": \"{}\" is not a colour ({})", text, colour, names);
        }
        setting.value = float(*index);
        if (!opacity.empty() || valueText.find(':') != std::string_view::npos) {
            const auto o = parseNumber(opacity);
            if (!o || *o < 0 || *o > 1)
                return fmt::format("--adjust \"{}\": the opacity after \":\" must be a number in 0...1", text);
            setting.secondaryValue = float(*o);
        }
        return setting;
    }

    const auto v = parseNumber(valueText);
    if (!v) return fmt::format("--adjust \"{}\": \"{}\" is not a number", text, valueText);
    if (*v < minimumValue(*kind) || *v > maximumValue(*kind))
        return fmt::format("--adjust \"{}\": {} takes a value in {}", text, rawValue(*kind), rangeText(*kind));
    setting.value = float(*v);
    return setting;
}

void applyAdjustSettings(QXFilterStandardAdjustments& adjustments, const std::vector<AdjustSetting>& settings) {
    for (const AdjustSetting& s : settings) {
        const AdjustmentPtr f = adjustments.filter(s.type);
        if (!f) continue;  // every adjustable kind is in the list; nothing to set otherwise
        f->value = s.value;
        if (s.secondaryValue) f->secondaryValue = *s.secondaryValue;
    }
}

}  // namespace vellari::cli
