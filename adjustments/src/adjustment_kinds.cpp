#include "vellari/adjustments/adjustment_kinds.h"

#include <algorithm>
#include <cmath>

#include "vellari/platform/bundle.h"

namespace vellari {
namespace {

using T = AdjustmentType;
using C = AdjustmentControlType;

struct KindInfo {
    T type;
    std::string_view raw;
    C control;
    float minimum, maximum;
    std::string_view nameKey;
    std::string_view icon;
};

// One row per kind, in declaration order (checked below).
constexpr std::array<KindInfo, kAdjustmentTypeCount> kKinds{{
    {T::enhance, "enhance", C::slider, -1, 1, "Adj_Enhance", "wand.and.stars"},
    {T::brightness, "brightness", C::slider, -1, 1, "Adj_Brightness", "sun.min.fill"},
    {T::contrast, "contrast", C::slider, -1, 1, "Adj_Contrast", "circle.righthalf.filled"},
    {T::blackPoint, "blackPoint", C::slider, -1, 1, "Adj_Black_Point", "smallcircle.filled.circle.fill"},
    {T::whitePoint, "whitePoint", C::slider, -1, 1, "Adj_White_Point", "smallcircle.filled.circle"},
    {T::blackAndWhitePoints, "blackAndWhitePoints", C::undefined, -1, 1, "", ""},
    {T::saturation, "saturation", C::slider, -1, 1, "Adj_Saturation", "drop.circle.fill"},
    {T::vibrance, "vibrance", C::slider, -1, 1, "Adj_Vibrance", "drop.triangle.fill"},
    {T::temperature, "temperature", C::slider, -1, 1, "Adj_Temperature", "thermometer"},
    {T::tint, "tint", C::slider, -1, 1, "Adj_Tint", "eyedropper.halffull"},
    {T::temperatureAndTint, "temperatureAndTint", C::undefined, -1, 1, "", ""},
    {T::structure, "structure", C::slider, -1, 1, "Adj_Structure", "wrench.fill"},
    {T::flatness, "flatness", C::slider, -1, 1, "Adj_Flatness", "book.closed.fill"},
    {T::lines, "lines", C::slider, -1, 1, "Adj_Lines", "line.3.horizontal.decrease"},
    {T::linesWeight, "linesWeight", C::slider, -1, 1, "Adj_Line_Weight", "lineweight"},
    {T::linesNoiseReduction, "linesNoiseReduction", C::slider, 0, 1, "Adj_Line_Noise_Reduction", "tuningfork"},
    {T::color, "color", C::undefined, -1, 1, "Adj_Color", ""},
    {T::filterIntensity, "filterIntensity", C::slider, 0.5, 1, "Adj_Filter_Intensity", "camera.filters"},
    {T::shadowColor, "shadowColor", C::colorPicker, 0, 6, "Adj_Shadow_Color", "circle.bottomhalf.filled"},
    {T::highlightColor, "highlightColor", C::colorPicker, 0, 6, "Adj_Highlight_Color", "circle.tophalf.filled"},
    {T::shadowColorForFilter, "shadowColorForFilter", C::undefined, -1, 1, "", ""},
    {T::highlightColorForFilter, "highlightColorForFilter", C::undefined, -1, 1, "", ""},
    {T::shadows, "shadows", C::slider, -1, 1, "Adj_Shadows", "shadow"},
}};

constexpr bool tableInOrder() {
    for (int i = 0; i < kAdjustmentTypeCount; ++i)
        if (int(kKinds[i].type) != i) return false;
    return true;
}
static_assert(tableInOrder(), "kind table out of declaration order");

constexpr std::array<T, kAdjustmentTypeCount> makeAllTypes() {
    std::array<T, kAdjustmentTypeCount> a{};
    for (int i = 0; i < kAdjustmentTypeCount; ++i) a[i] = kKinds[i].type;
    return a;
}
constexpr std::array<T, kAdjustmentTypeCount> kAllTypes = makeAllTypes();

const KindInfo& info(T type) {
    const int i = int(type);
    return kKinds[i >= 0 && i < kAdjustmentTypeCount ? i : 0];
}

constexpr std::array<std::string_view, 3> kControlRaw{"undefined", "slider", "colorPicker"};
constexpr std::array<std::string_view, 4> kStageRaw{"none", "pre", "post", "custom"};

struct PaletteEntry {
    std::string_view name;
    Color color;
    double hue, saturation;  // of the wash; unused for clear
};
constexpr std::array<PaletteEntry, kAdjustmentColorCount> kPalette{{
    {"Clear", {0, 0, 0, 0}, 0, 0},
    {"Red", {1, 0, 0, 1}, 0, 1},
    {"Orange", {1, 0.5, 0, 1}, 1.0 / 12, 1},
    {"Yellow", {1, 1, 0, 1}, 1.0 / 6, 1},
    {"Green", {0, 1, 0, 1}, 1.0 / 3, 1},
    {"Blue", {0, 0, 1, 1}, 2.0 / 3, 1},
    {"Violet", {0.5, 0, 0.5, 1}, 5.0 / 6, 1},
}};

}  // namespace

std::span<const AdjustmentType> allAdjustmentTypes() { return kAllTypes; }

std::string_view rawValue(AdjustmentType type) { return info(type).raw; }

std::string_view rawValue(AdjustmentControlType type) {
    const int i = int(type);
    return i >= 0 && i < int(kControlRaw.size()) ? kControlRaw[i] : kControlRaw[0];
}

std::string_view rawValue(AdjustmentStage stage) {
    const int i = int(stage);
    return i >= 0 && i < int(kStageRaw.size()) ? kStageRaw[i] : kStageRaw[0];
}

std::optional<AdjustmentType> adjustmentTypeFromRawValue(std::string_view raw) {
    for (const KindInfo& k : kKinds)
        if (k.raw == raw) return k.type;
    return std::nullopt;
}

std::optional<AdjustmentControlType> adjustmentControlTypeFromRawValue(std::string_view raw) {
    for (size_t i = 0; i < kControlRaw.size(); ++i)
        if (kControlRaw[i] == raw) return AdjustmentControlType(i);
    return std::nullopt;
}

std::optional<AdjustmentStage> adjustmentStageFromRawValue(std::string_view raw) {
    for (size_t i = 0; i < kStageRaw.size(); ++i)
        if (kStageRaw[i] == raw) return AdjustmentStage(i);
    return std::nullopt;
}

float defaultValue(AdjustmentType type, bool isImageCaptureAutoDenoise) {
    if (type == T::filterIntensity) return 1.0f;
    if (type == T::linesNoiseReduction && isImageCaptureAutoDenoise) return 0.2f;
    return 0.0f;
}

float defaultSecondaryValue(AdjustmentType type) { return isUserColorType(type) ? 0.1f : 0.0f; }

float minimumValue(AdjustmentType type) { return info(type).minimum; }
float maximumValue(AdjustmentType type) { return info(type).maximum; }
AdjustmentControlType controlType(AdjustmentType type) { return info(type).control; }
std::string_view displayNameKey(AdjustmentType type) { return info(type).nameKey; }

std::string displayName(AdjustmentType type) {
    const std::string_view key = displayNameKey(type);
    return key.empty() ? std::string() : localizedString(std::string(key));
}

std::string_view iconName(AdjustmentType type) { return info(type).icon; }

bool isUserColorType(AdjustmentType type) { return type == T::shadowColor || type == T::highlightColor; }

std::optional<std::string_view> adjustmentColorName(int index) {
    if (index < 0 || index >= kAdjustmentColorCount) return std::nullopt;
    return kPalette[index].name;
}

std::optional<Color> adjustmentPaletteColor(int index) {
    if (index < 0 || index >= kAdjustmentColorCount) return std::nullopt;
    return kPalette[index].color;
}

std::optional<HueSaturation> adjustmentWashHueSaturation(int index) {
    if (index < 1 || index >= kAdjustmentColorCount) return std::nullopt;
    return HueSaturation{kPalette[index].hue, kPalette[index].saturation};
}

Color colorFromHSB(double h, double s, double v, double a) {
    h = h - std::floor(h);
    s = std::clamp(s, 0.0, 1.0);
    v = std::clamp(v, 0.0, 1.0);
    const double sector = h * 6.0;
    const int i = int(sector) % 6;
    const double f = sector - std::floor(sector);
    const double p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
    switch (i) {
        case 0: return {v, t, p, a};
        case 1: return {q, v, p, a};
        case 2: return {p, v, t, a};
        case 3: return {p, q, v, a};
        case 4: return {t, p, v, a};
        default: return {v, p, q, a};
    }
}

}  // namespace vellari
