#pragma once
// The sizes and formats the user picks in the settings and the editor, and the rules that
// turn stored setting values into them. Sizes are the frame's short side in pixels.
//
// Each type wraps a nested `Case` enumeration whose values are the raw values, so cases
// read as `VellariImageResolution::medium`, compare with == and hash with std::hash.
// Settings are read through the user-defaults store by key (the application layer above
// owns the defaults; an unregistered key reads 0, which every reader maps to its default).

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "vellari/platform/user_defaults.h"

namespace vellari {

// Setting keys read here (the full table belongs to the application's settings store).
namespace setting_keys {
inline constexpr std::string_view imageCaptureResolution = "imageCaptureResolution";
inline constexpr std::string_view videoCaptureResolution = "videoCaptureResolution";
inline constexpr std::string_view previewResolution = "previewResolution";
inline constexpr std::string_view cinemaModeResolution = "cinemaModeResolution";
inline constexpr std::string_view previewFPS = "previewFPS";
inline constexpr std::string_view videoExportPreset = "videoExportPreset";
inline constexpr std::string_view shouldUsePerformanceThrottling = "shouldUsePerformanceThrottling";
}  // namespace setting_keys

// Still-image resolution.
struct VellariImageResolution {
    enum Case : int64_t { small = 1080, medium = 1620, large = 2160, giant = 3240 };
    Case value = medium;

    constexpr VellariImageResolution(Case c) : value(c) {}

    static const std::array<VellariImageResolution, 4>& allCases();
    static std::optional<VellariImageResolution> fromRawValue(int64_t raw);
    // Position in allCases() (0...3), the form the filter wrapper keeps.
    static std::optional<VellariImageResolution> fromCaseIndex(int64_t index);
    // The localised titles of allCases(), in order; anything else gives nothing.
    static std::optional<VellariImageResolution> fromTitle(std::string_view title);

    constexpr int64_t rawValue() const { return int64_t(value); }
    int64_t caseIndex() const;
    // Untranslated key: "Small", "Medium", "Large", "Giant".
    std::string_view titleKey() const;
    // The key looked up in the application's "Localizable" table.
    std::string title() const;
    // "1080p" ... "3240p".
    std::string pixelTitle() const;

    friend constexpr bool operator==(const VellariImageResolution&, const VellariImageResolution&) = default;
};

// Movie resolution; raw value = 1080 + 540 x case index.
struct VellariVideoResolution {
    enum Case : int64_t { res1080 = 1080, res3K = 1620, res4K = 2160 };
    Case value = res1080;

    constexpr VellariVideoResolution(Case c) : value(c) {}

    static const std::array<VellariVideoResolution, 3>& allCases();
    static std::optional<VellariVideoResolution> fromRawValue(int64_t raw);
    static std::optional<VellariVideoResolution> fromCaseIndex(int64_t index);
    // "1080p"; "3K" or "1620p"; "4K" or "2160p". Anything else (720p) gives nothing.
    static std::optional<VellariVideoResolution> fromString(std::string_view text);

    constexpr int64_t rawValue() const { return int64_t(value); }
    int64_t caseIndex() const;
    // "1080p", "1620p", "2160p".
    std::string title() const;

    friend constexpr bool operator==(const VellariVideoResolution&, const VellariVideoResolution&) = default;
};

// How a movie is encoded for export, in the media layer's codec names.
struct MovieExportFormat {
    std::string_view videoCodec;
    std::string_view audioCodec;
    std::string_view fileExtension;
    friend constexpr bool operator==(const MovieExportFormat&, const MovieExportFormat&) = default;
};

// Movie export preset; raw value = case index.
struct VellariVideoExportPreset {
    enum Case : int64_t { highQuality = 0, proRes = 1 };
    Case value = highQuality;

    constexpr VellariVideoExportPreset(Case c) : value(c) {}

    static const std::array<VellariVideoExportPreset, 2>& allCases();
    static std::optional<VellariVideoExportPreset> fromRawValue(int64_t raw);
    // "High Quality", "ProRes"; anything else gives nothing.
    static std::optional<VellariVideoExportPreset> fromSettingsTitle(std::string_view title);

    constexpr int64_t rawValue() const { return int64_t(value); }
    std::string_view settingsTitle() const;
    // Highest quality: H.264 with AAC; ProRes: ProRes 422 with linear PCM.
    MovieExportFormat exportFormat() const;

    friend constexpr bool operator==(const VellariVideoExportPreset&, const VellariVideoExportPreset&) = default;
};

// The orientation class of a frame; raw value = case index.
struct QXVideoOrientationSizeType {
    enum Case : int64_t { landscape = 0, portrait = 1, square = 2 };
    Case value = landscape;

    constexpr QXVideoOrientationSizeType(Case c) : value(c) {}

    static const std::array<QXVideoOrientationSizeType, 3>& allCases();
    static std::optional<QXVideoOrientationSizeType> fromRawValue(int64_t raw);
    // Wider than tall: landscape; taller: portrait; equal: square.
    static QXVideoOrientationSizeType forSize(double width, double height);

    constexpr int64_t rawValue() const { return int64_t(value); }

    friend constexpr bool operator==(const QXVideoOrientationSizeType&, const QXVideoOrientationSizeType&) = default;
};

// Whether a media file is a temporary render or a permanent one; raw value = case index.
struct MediaAvailabilityType {
    enum Case : int64_t { temporary = 0, permanent = 1 };
    Case value = temporary;

    constexpr MediaAvailabilityType(Case c) : value(c) {}

    static const std::array<MediaAvailabilityType, 2>& allCases();
    static std::optional<MediaAvailabilityType> fromRawValue(int64_t raw);

    constexpr int64_t rawValue() const { return int64_t(value); }

    friend constexpr bool operator==(const MediaAvailabilityType&, const MediaAvailabilityType&) = default;
};

// Preview frame rates in frames per second, index 0...4.
inline constexpr std::array<int64_t, 5> kPreviewFrameRates{12, 15, 18, 24, 30};
inline constexpr int64_t kDefaultPreviewFrameRateIndex = 3;  // 24 fps

// The rules from stored integers to values; unrecognised values give the defaults.
VellariImageResolution imageResolutionFromStoredValue(int64_t stored);  // medium
VellariVideoResolution videoResolutionFromStoredValue(int64_t stored);  // res1080
int64_t previewResolutionFromStoredValue(int64_t stored);               // 1080, 1620 or 2160
int64_t previewFrameRateIndexFromStoredValue(int64_t stored);          // 0...4, else 3
std::optional<VellariVideoExportPreset> videoExportPresetFromStoredValue(int64_t stored);

// The same rules applied to the settings as stored now.
VellariImageResolution imageCaptureResolutionSetting(const UserDefaults& store = UserDefaults::standard());
VellariVideoResolution videoCaptureResolutionSetting(const UserDefaults& store = UserDefaults::standard());
int64_t previewResolutionSetting(const UserDefaults& store = UserDefaults::standard());
// Cinema mode offers the preview's sizes only, so 3240 falls back to 1080 too.
int64_t cinemaModeResolutionSetting(const UserDefaults& store = UserDefaults::standard());
int64_t previewFrameRateIndexSetting(const UserDefaults& store = UserDefaults::standard());
int64_t previewFrameRateSetting(const UserDefaults& store = UserDefaults::standard());
// Nothing for a value other than 0 or 1; exporters then use highQuality.
std::optional<VellariVideoExportPreset> videoExportPresetSetting(const UserDefaults& store = UserDefaults::standard());

}  // namespace vellari

template <>
struct std::hash<vellari::VellariImageResolution> {
    size_t operator()(vellari::VellariImageResolution v) const noexcept { return std::hash<int64_t>{}(v.rawValue()); }
};
template <>
struct std::hash<vellari::VellariVideoResolution> {
    size_t operator()(vellari::VellariVideoResolution v) const noexcept { return std::hash<int64_t>{}(v.rawValue()); }
};
template <>
struct std::hash<vellari::VellariVideoExportPreset> {
    size_t operator()(vellari::VellariVideoExportPreset v) const noexcept { return std::hash<int64_t>{}(v.rawValue()); }
};
template <>
struct std::hash<vellari::QXVideoOrientationSizeType> {
    size_t operator()(vellari::QXVideoOrientationSizeType v) const noexcept {
        return std::hash<int64_t>{}(v.rawValue());
    }
};
template <>
struct std::hash<vellari::MediaAvailabilityType> {
    size_t operator()(vellari::MediaAvailabilityType v) const noexcept { return std::hash<int64_t>{}(v.rawValue()); }
};
