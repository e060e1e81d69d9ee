#include "vellari/capture/resolutions.h"

#include <algorithm>

#include "vellari/platform/bundle.h"

namespace vellari {

namespace {

template <class T, size_t N>
std::optional<T> byRawValue(const std::array<T, N>& cases, int64_t raw) {
    for (const T& c : cases)
        if (c.rawValue() == raw) return c;
    return std::nullopt;
}

template <class T, size_t N>
std::optional<T> byIndex(const std::array<T, N>& cases, int64_t index) {
    if (index < 0 || index >= int64_t(N)) return std::nullopt;
    return cases[size_t(index)];
}

template <class T, size_t N>
int64_t indexOf(const std::array<T, N>& cases, T value) {
    return int64_t(std::find(cases.begin(), cases.end(), value) - cases.begin());
}

}  // namespace

// --- still resolution

const std::array<VellariImageResolution, 4>& VellariImageResolution::allCases() {
    static const std::array<VellariImageResolution, 4> cases{small, medium, large, giant};
    return cases;
}

std::optional<VellariImageResolution> VellariImageResolution::fromRawValue(int64_t raw) {
    return byRawValue(allCases(), raw);
}

std::optional<VellariImageResolution> VellariImageResolution::fromCaseIndex(int64_t index) {
    return byIndex(allCases(), index);
}

std::optional<VellariImageResolution> VellariImageResolution::fromTitle(std::string_view title) {
    for (const auto& c : allCases())
        if (c.title() == title) return c;
    return std::nullopt;
}

int64_t VellariImageResolution::caseIndex() const { return indexOf(allCases(), *this); }

std::string_view VellariImageResolution::titleKey() const {
    switch (value) {
    case small: return "Small";
    case medium: return "Medium";
    case large: return "Large";
    case giant: return "Giant";
    }
    return "Medium";
}

std::string VellariImageResolution::title() const { return localizedString(std::string(titleKey())); }

std::string VellariImageResolution::pixelTitle() const { return std::to_string(rawValue()) + "p"; }

// --- movie resolution

const std::array<VellariVideoResolution, 3>& VellariVideoResolution::allCases() {
    static const std::array<VellariVideoResolution, 3> cases{res1080, res3K, res4K};
    return cases;
}

std::optional<VellariVideoResolution> VellariVideoResolution::fromRawValue(int64_t raw) {
    return byRawValue(allCases(), raw);
}

std::optional<VellariVideoResolution> VellariVideoResolution::fromCaseIndex(int64_t index) {
    return byIndex(allCases(), index);
}

std::optional<VellariVideoResolution> VellariVideoResolution::fromString(std::string_view text) {
    // The settings list offers the short marketing names; titles read back as well.
    if (text == "1080p" || text == VellariVideoResolution(res1080).title()) return res1080;
    if (text == "3K" || text == VellariVideoResolution(res3K).title()) return res3K;
    if (text == "4K" || text == VellariVideoResolution(res4K).title()) return res4K;
    return std::nullopt;
}

int64_t VellariVideoResolution::caseIndex() const { return indexOf(allCases(), *this); }

std::string VellariVideoResolution::title() const { return std::to_string(rawValue()) + "p"; }

// --- export preset

const std::array<VellariVideoExportPreset, 2>& VellariVideoExportPreset::allCases() {
    static const std::array<VellariVideoExportPreset, 2> cases{highQuality, proRes};
    return cases;
}

std::optional<VellariVideoExportPreset> VellariVideoExportPreset::fromRawValue(int64_t raw) {
    return byRawValue(allCases(), raw);
}

std::optional<VellariVideoExportPreset> VellariVideoExportPreset::fromSettingsTitle(std::string_view title) {
    for (const auto& c : allCases())
        if (c.settingsTitle() == title) return c;
    return std::nullopt;
}

std::string_view VellariVideoExportPreset::settingsTitle() const {
    return value == proRes ? "ProRes" : "High Quality";
}

MovieExportFormat VellariVideoExportPreset::exportFormat() const {
    if (value == proRes) return {"prores", "pcm_s16le", "mov"};
    return {"h264", "aac", "mov"};
}

// --- orientation class and availability

const std::array<QXVideoOrientationSizeType, 3>& QXVideoOrientationSizeType::allCases() {
    static const std::array<QXVideoOrientationSizeType, 3> cases{landscape, portrait, square};
    return cases;
}

std::optional<QXVideoOrientationSizeType> QXVideoOrientationSizeType::fromRawValue(int64_t raw) {
    return byRawValue(allCases(), raw);
}

QXVideoOrientationSizeType QXVideoOrientationSizeType::forSize(double width, double height) {
    if (width > height) return landscape;
    if (height > width) return portrait;
    return square;
}

const std::array<MediaAvailabilityType, 2>& MediaAvailabilityType::allCases() {
    static const std::array<MediaAvailabilityType, 2> cases{temporary, permanent};
    return cases;
}

std::optional<MediaAvailabilityType> MediaAvailabilityType::fromRawValue(int64_t raw) {
    return byRawValue(allCases(), raw);
}

// --- stored settings

VellariImageResolution imageResolutionFromStoredValue(int64_t stored) {
    switch (stored) {
    case 1080: return VellariImageResolution::small;
    case 2160: return VellariImageResolution::large;
    case 3240: return VellariImageResolution::giant;
    default: return VellariImageResolution::medium;
    }
}

VellariVideoResolution videoResolutionFromStoredValue(int64_t stored) {
    switch (stored) {
    case 1620: return VellariVideoResolution::res3K;
    case 2160: return VellariVideoResolution::res4K;
    default: return VellariVideoResolution::res1080;
    }
}

int64_t previewResolutionFromStoredValue(int64_t stored) {
    return stored == 1620 || stored == 2160 ? stored : 1080;
}

int64_t previewFrameRateIndexFromStoredValue(int64_t stored) {
    switch (stored) {
    case 12: return 0;
    case 15: return 1;
    case 18: return 2;
    case 30: return 4;
    default: return kDefaultPreviewFrameRateIndex;
    }
}

std::optional<VellariVideoExportPreset> videoExportPresetFromStoredValue(int64_t stored) {
    return VellariVideoExportPreset::fromRawValue(stored);
}

VellariImageResolution imageCaptureResolutionSetting(const UserDefaults& store) {
    return imageResolutionFromStoredValue(store.integerForKey(setting_keys::imageCaptureResolution));
}

VellariVideoResolution videoCaptureResolutionSetting(const UserDefaults& store) {
    return videoResolutionFromStoredValue(store.integerForKey(setting_keys::videoCaptureResolution));
}

int64_t previewResolutionSetting(const UserDefaults& store) {
    return previewResolutionFromStoredValue(store.integerForKey(setting_keys::previewResolution));
}

int64_t cinemaModeResolutionSetting(const UserDefaults& store) {
    return previewResolutionFromStoredValue(store.integerForKey(setting_keys::cinemaModeResolution));
}

int64_t previewFrameRateIndexSetting(const UserDefaults& store) {
    return previewFrameRateIndexFromStoredValue(store.integerForKey(setting_keys::previewFPS));
}

int64_t previewFrameRateSetting(const UserDefaults& store) {
    return kPreviewFrameRates[size_t(previewFrameRateIndexSetting(store))];
}

std::optional<VellariVideoExportPreset> videoExportPresetSetting(const UserDefaults& store) {
    // An absent key with no registered default reads 0 like a stored 0; only a value that
    // is really there (stored or registered) counts.
    if (!store.objectForKey(setting_keys::videoExportPreset)) return std::nullopt;
    return videoExportPresetFromStoredValue(store.integerForKey(setting_keys::videoExportPreset));
}

}  // namespace vellari
