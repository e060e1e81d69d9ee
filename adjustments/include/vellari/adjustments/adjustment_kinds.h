#pragma once
// The kinds of user adjustment, their ranges, defaults, controls and names, the processing
// stages, and the palette behind the colour washes. Everything stored or exchanged uses
// the raw string of a kind or stage, never its position.

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "vellari/platform/values.h"

namespace vellari {

enum class QXFilterStandardAdjustmentsFilterType {
    enhance,
    brightness,
    contrast,
    blackPoint,
    whitePoint,
    blackAndWhitePoints,
    saturation,
    vibrance,
    temperature,
    tint,
    temperatureAndTint,
    structure,
    flatness,
    lines,
    linesWeight,
    linesNoiseReduction,
    color,
    filterIntensity,
    shadowColor,
    highlightColor,
    shadowColorForFilter,
    highlightColorForFilter,
    shadows,
};
inline constexpr int kAdjustmentTypeCount = 23;

enum class QXFilterStandardAdjustmentsFilterControlType { undefined, slider, colorPicker };

enum class QXFilterStandardAdjustmentsFilterProcessingStage { none, pre, post, custom };

using AdjustmentType = QXFilterStandardAdjustmentsFilterType;
using AdjustmentControlType = QXFilterStandardAdjustmentsFilterControlType;
using AdjustmentStage = QXFilterStandardAdjustmentsFilterProcessingStage;

// All kinds in declaration order.
std::span<const AdjustmentType> allAdjustmentTypes();

// Raw values: the case names ("blackPoint"), "slider", "pre".
std::string_view rawValue(AdjustmentType type);
std::string_view rawValue(AdjustmentControlType type);
std::string_view rawValue(AdjustmentStage stage);
// Nothing for a string that is not exactly one of the raw values.
std::optional<AdjustmentType> adjustmentTypeFromRawValue(std::string_view raw);
std::optional<AdjustmentControlType> adjustmentControlTypeFromRawValue(std::string_view raw);
std::optional<AdjustmentStage> adjustmentStageFromRawValue(std::string_view raw);

// 1.0 for filterIntensity, 0.2 for linesNoiseReduction with auto-denoise, else 0.
float defaultValue(AdjustmentType type, bool isImageCaptureAutoDenoise);
// 0.1 (the wash opacity) for the two user colour kinds, else 0.
float defaultSecondaryValue(AdjustmentType type);
float minimumValue(AdjustmentType type);
float maximumValue(AdjustmentType type);
AdjustmentControlType controlType(AdjustmentType type);
// The string-table key of the display name; empty for the kinds that are never shown.
std::string_view displayNameKey(AdjustmentType type);
// The localised display name (the key when the table lacks it); empty without a key.
std::string displayName(AdjustmentType type);
// The symbol name of the kind's icon; empty for the kinds without one. There is no
// symbol-image catalogue on this platform, so callers draw the icon from the name.
std::string_view iconName(AdjustmentType type);
// shadowColor and highlightColor: the kinds whose value is a palette index picked by the user.
bool isUserColorType(AdjustmentType type);

// Palette of the colour kinds: index 0 "Clear" (off) to 6 "Violet".
inline constexpr int kAdjustmentColorCount = 7;
// "Clear", "Red", "Orange", "Yellow", "Green", "Blue", "Violet"; nothing outside 0...6.
std::optional<std::string_view> adjustmentColorName(int index);
// The named palette colour (clear, red, orange, yellow, green, blue, purple).
std::optional<Color> adjustmentPaletteColor(int index);
// Hue and saturation (both in [0, 1]) the wash takes from palette colour `index`;
// nothing for 0 (clear) and outside 1...6.
struct HueSaturation {
    double hue = 0, saturation = 0;
};
std::optional<HueSaturation> adjustmentWashHueSaturation(int index);

// Colour of hue h, saturation s, brightness v (all in [0, 1]) and opacity a.
Color colorFromHSB(double h, double s, double v, double a);

}  // namespace vellari
