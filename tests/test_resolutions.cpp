// Resolutions, frame rates and presets: raw values, titles, construction from raw values
// and texts, and the rules that read stored settings.

#include <gtest/gtest.h>

#include <filesystem>
#include <unordered_set>

#include "test_support.h"
#include "vellari/capture/resolutions.h"
#include "vellari/platform/bundle.h"

namespace vellari {
namespace {

namespace fs = std::filesystem;

template <class T>
std::vector<int64_t> rawValues() {
    std::vector<int64_t> out;
    for (const auto& c : T::allCases()) out.push_back(c.rawValue());
    return out;
}

// Every case comes back from its raw value, and is distinct under hashing.
template <class T>
void expectRawValuesRoundTrip() {
    std::unordered_set<T> seen;
    for (const auto& c : T::allCases()) {
        EXPECT_EQ(T::fromRawValue(c.rawValue()), c);
        seen.insert(c);
    }
    EXPECT_EQ(seen.size(), T::allCases().size());
}

TEST(Resolutions, RawValuesInOrder) {
    EXPECT_EQ(rawValues<VellariImageResolution>(), (std::vector<int64_t>{1080, 1620, 2160, 3240}));
    EXPECT_EQ(rawValues<VellariVideoResolution>(), (std::vector<int64_t>{1080, 1620, 2160}));
    EXPECT_EQ(rawValues<VellariVideoExportPreset>(), (std::vector<int64_t>{0, 1}));
    EXPECT_EQ(rawValues<QXVideoOrientationSizeType>(), (std::vector<int64_t>{0, 1, 2}));
    EXPECT_EQ(rawValues<MediaAvailabilityType>(), (std::vector<int64_t>{0, 1}));
    EXPECT_EQ(std::vector<int64_t>(kPreviewFrameRates.begin(), kPreviewFrameRates.end()),
              (std::vector<int64_t>{12, 15, 18, 24, 30}));
    EXPECT_EQ(kPreviewFrameRates[kDefaultPreviewFrameRateIndex], 24);

    // Movie resolutions are 1080 + 540 per step, the form the filter wrapper computes.
    for (const auto& r : VellariVideoResolution::allCases()) EXPECT_EQ(r.rawValue(), 1080 + 540 * r.caseIndex());
    for (int64_t i = 0; i < 4; ++i)
        EXPECT_EQ(VellariImageResolution::fromCaseIndex(i)->caseIndex(), i);
    EXPECT_FALSE(VellariImageResolution::fromCaseIndex(4));
    EXPECT_FALSE(VellariVideoResolution::fromCaseIndex(-1));
}

TEST(Resolutions, ConstructionFromRawValuesRefusesEverythingElse) {
    expectRawValuesRoundTrip<VellariImageResolution>();
    expectRawValuesRoundTrip<VellariVideoResolution>();
    expectRawValuesRoundTrip<VellariVideoExportPreset>();
    expectRawValuesRoundTrip<QXVideoOrientationSizeType>();
    expectRawValuesRoundTrip<MediaAvailabilityType>();
    for (int64_t raw : {0, 720, 1081, 3240 + 540, -1080}) EXPECT_FALSE(VellariImageResolution::fromRawValue(raw)) << raw;
    EXPECT_FALSE(VellariVideoResolution::fromRawValue(3240)) << "stills only";
    EXPECT_FALSE(VellariVideoExportPreset::fromRawValue(2));
    EXPECT_FALSE(QXVideoOrientationSizeType::fromRawValue(-1));
    EXPECT_FALSE(MediaAvailabilityType::fromRawValue(2));
}

TEST(Resolutions, ImageResolutionTitles) {
    std::vector<std::string> keys, pixels;
    for (const auto& r : VellariImageResolution::allCases()) {
        keys.emplace_back(r.titleKey());
        pixels.push_back(r.pixelTitle());
        EXPECT_EQ(r.title(), localizedString(std::string(r.titleKey())));
        EXPECT_EQ(VellariImageResolution::fromTitle(r.title()), r);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"Small", "Medium", "Large", "Giant"}));
    EXPECT_EQ(pixels, (std::vector<std::string>{"1080p", "1620p", "2160p", "3240p"}));
    EXPECT_FALSE(VellariImageResolution::fromTitle("Huge"));
    EXPECT_FALSE(VellariImageResolution::fromTitle("1620p"));
    EXPECT_FALSE(VellariImageResolution::fromTitle(""));
}

TEST(Resolutions, VideoResolutionTitlesAndShortNames) {
    EXPECT_EQ(VellariVideoResolution(VellariVideoResolution::res1080).title(), "1080p");
    EXPECT_EQ(VellariVideoResolution(VellariVideoResolution::res3K).title(), "1620p");
    EXPECT_EQ(VellariVideoResolution(VellariVideoResolution::res4K).title(), "2160p");

    EXPECT_EQ(VellariVideoResolution::fromString("1080p"), VellariVideoResolution::res1080);
    EXPECT_EQ(VellariVideoResolution::fromString("3K"), VellariVideoResolution::res3K);
    EXPECT_EQ(VellariVideoResolution::fromString("1620p"), VellariVideoResolution::res3K);
    EXPECT_EQ(VellariVideoResolution::fromString("4K"), VellariVideoResolution::res4K);
    EXPECT_EQ(VellariVideoResolution::fromString("2160p"), VellariVideoResolution::res4K);
    for (const char* text : {"720p", "3k", "1080", "8K", ""}) EXPECT_FALSE(VellariVideoResolution::fromString(text)) << text;
}

TEST(Resolutions, ExportPresetsAndOrientationClasses) {
    EXPECT_EQ(VellariVideoExportPreset(VellariVideoExportPreset::highQuality).settingsTitle(), "High Quality");
    EXPECT_EQ(VellariVideoExportPreset(VellariVideoExportPreset::proRes).settingsTitle(), "ProRes");
    for (const auto& p : VellariVideoExportPreset::allCases())
        EXPECT_EQ(VellariVideoExportPreset::fromSettingsTitle(p.settingsTitle()), p);
    EXPECT_FALSE(VellariVideoExportPreset::fromSettingsTitle("Prores"));
    EXPECT_EQ(VellariVideoExportPreset(VellariVideoExportPreset::proRes).exportFormat().audioCodec, "pcm_s16le");
    EXPECT_EQ(VellariVideoExportPreset(VellariVideoExportPreset::highQuality).exportFormat().videoCodec, "h264");

    EXPECT_EQ(QXVideoOrientationSizeType::forSize(1920, 1080), QXVideoOrientationSizeType::landscape);
    EXPECT_EQ(QXVideoOrientationSizeType::forSize(1080, 1920), QXVideoOrientationSizeType::portrait);
    EXPECT_EQ(QXVideoOrientationSizeType::forSize(1080, 1080), QXVideoOrientationSizeType::square);
}

TEST(Resolutions, StoredValueRules) {
    struct ImageCase {
        int64_t stored;
        VellariImageResolution expected;
    };
    for (auto [stored, expected] : std::vector<ImageCase>{{1080, VellariImageResolution::small},
                                                          {1620, VellariImageResolution::medium},
                                                          {0, VellariImageResolution::medium},
                                                          {2160, VellariImageResolution::large},
                                                          {3240, VellariImageResolution::giant},
                                                          {4000, VellariImageResolution::medium}})
        EXPECT_EQ(imageResolutionFromStoredValue(stored), expected) << stored;

    struct VideoCase {
        int64_t stored;
        VellariVideoResolution expected;
    };
    for (auto [stored, expected] : std::vector<VideoCase>{{1620, VellariVideoResolution::res3K},
                                                          {2160, VellariVideoResolution::res4K},
                                                          {1080, VellariVideoResolution::res1080},
                                                          {3240, VellariVideoResolution::res1080},
                                                          {0, VellariVideoResolution::res1080}})
        EXPECT_EQ(videoResolutionFromStoredValue(stored), expected) << stored;

    for (auto [stored, expected] : std::vector<std::pair<int64_t, int64_t>>{
             {1620, 1620}, {2160, 2160}, {1080, 1080}, {3240, 1080}, {1500, 1080}, {0, 1080}})
        EXPECT_EQ(previewResolutionFromStoredValue(stored), expected) << stored;

    for (auto [stored, expected] : std::vector<std::pair<int64_t, int64_t>>{
             {12, 0}, {15, 1}, {18, 2}, {24, 3}, {30, 4}, {60, 3}, {0, 3}, {-12, 3}})
        EXPECT_EQ(previewFrameRateIndexFromStoredValue(stored), expected) << stored;

    EXPECT_EQ(videoExportPresetFromStoredValue(0), VellariVideoExportPreset::highQuality);
    EXPECT_EQ(videoExportPresetFromStoredValue(1), VellariVideoExportPreset::proRes);
    EXPECT_FALSE(videoExportPresetFromStoredValue(2));
    EXPECT_FALSE(videoExportPresetFromStoredValue(-1));
}

TEST(Resolutions, SettingReadersUseTheStore) {
    const std::string dir = test::tempDir();
    {
        UserDefaults store((fs::path(dir) / "settings.plist").string());
        // Nothing registered, nothing stored: every reader falls back, the preset to nothing.
        EXPECT_EQ(imageCaptureResolutionSetting(store), VellariImageResolution::medium);
        EXPECT_EQ(videoCaptureResolutionSetting(store), VellariVideoResolution::res1080);
        EXPECT_EQ(previewResolutionSetting(store), 1080);
        EXPECT_EQ(previewFrameRateSetting(store), 24);
        EXPECT_FALSE(videoExportPresetSetting(store));

        store.setValues({{"imageCaptureResolution", PlistValue(3240)},
                         {"videoCaptureResolution", PlistValue(2160)},
                         {"previewResolution", PlistValue(1620)},
                         {"cinemaModeResolution", PlistValue(3240)},
                         {"previewFPS", PlistValue(15)},
                         {"videoExportPreset", PlistValue(1)}});
        EXPECT_EQ(imageCaptureResolutionSetting(store), VellariImageResolution::giant);
        EXPECT_EQ(videoCaptureResolutionSetting(store), VellariVideoResolution::res4K);
        EXPECT_EQ(previewResolutionSetting(store), 1620);
        EXPECT_EQ(cinemaModeResolutionSetting(store), 1080) << "the preview offers no 3240";
        EXPECT_EQ(previewFrameRateIndexSetting(store), 1);
        EXPECT_EQ(previewFrameRateSetting(store), 15);
        EXPECT_EQ(videoExportPresetSetting(store), VellariVideoExportPreset::proRes);

        store.set("videoExportPreset", PlistValue(7));
        EXPECT_FALSE(videoExportPresetSetting(store));
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace vellari
