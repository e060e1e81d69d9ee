#pragma once
// The application's persistent settings and counters: their key names, the defaults
// registered at every start, the launch bookkeeping, group resets and the rule for when
// to ask the user for a review.
//
// Everything lives in the user-defaults store; other code reads and writes it directly
// by these key names. Each group's `Keys` lists its names (`allCases` in table order);
// a group reset removes exactly those keys so the registered defaults apply again.

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "vellari/platform/notification_center.h"
#include "vellari/platform/plist.h"
#include "vellari/platform/user_defaults.h"

namespace vellari {

class StorageManager {
public:
    struct Camera {
        struct Keys {
            static constexpr std::string_view defaultCameraLocation = "defaultCameraLocation";
            static constexpr std::string_view previewFPS = "previewFPS";
            static constexpr std::string_view previewResolution = "previewResolution";
            static constexpr std::string_view imageCaptureResolution = "imageCaptureResolution";
            static constexpr std::string_view imageCaptureAutoDenoise = "imageCaptureAutoDenoise";
            static constexpr std::string_view videoCaptureResolution = "videoCaptureResolution";
            static constexpr std::string_view videoExportPreset = "videoExportPreset";
            static constexpr std::string_view cinemaModeResolution = "cinemaModeResolution";
            static constexpr std::string_view autoSaveOriginalPhoto = "autoSaveOriginalPhoto";
            static constexpr std::string_view autoSaveOriginalVideo = "autoSaveOriginalVideo";
            static constexpr std::string_view isCinemaModeActive = "isCinemaModeActive";
            // The stored name is spelt this way; renaming it would lose users' settings.
            static constexpr std::string_view isGridVisibile = "isGridVisibile";
            static constexpr std::string_view isAutoSwitchCameraOnDeviceRotation = "isAutoSwitchCameraOnDeviceRotation";
            static constexpr std::array<std::string_view, 13> allCases{
                defaultCameraLocation, previewFPS, previewResolution, imageCaptureResolution,
                imageCaptureAutoDenoise, videoCaptureResolution, videoExportPreset, cinemaModeResolution,
                autoSaveOriginalPhoto, autoSaveOriginalVideo, isCinemaModeActive, isGridVisibile,
                isAutoSwitchCameraOnDeviceRotation};
        };
    };
    struct App {
        struct Keys {
            static constexpr std::string_view numberOfLaunches = "numberOfLaunches";
            static constexpr std::string_view isFirstLaunch = "isFirstLaunch";
            static constexpr std::string_view appVersion = "appVersion";
            static constexpr std::string_view isAppUpdate = "isAppUpdate";
            static constexpr std::array<std::string_view, 4> allCases{numberOfLaunches, isFirstLaunch, appVersion,
                                                                      isAppUpdate};
        };
    };
    struct AppReview {
        struct Keys {
            static constexpr std::string_view askedForReviewOnce = "askedForReviewOnce";
            static constexpr std::string_view askedForReviewDate = "askedForReviewDate";
            static constexpr std::string_view askedForReviewAppVersion = "askedForReviewAppVersion";
            static constexpr std::array<std::string_view, 3> allCases{askedForReviewOnce, askedForReviewDate,
                                                                      askedForReviewAppVersion};
        };
    };
    struct Onboarding {
        struct Keys {
            static constexpr std::string_view isWelcomeScreenShown = "isWelcomeScreenShown";
            static constexpr std::string_view isPermissionsPrivacyViewSetupFinished =
                "isPermissionsPrivacyViewSetupFinished";
            static constexpr std::array<std::string_view, 2> allCases{isWelcomeScreenShown,
                                                                      isPermissionsPrivacyViewSetupFinished};
        };
    };
    struct View {
        struct Keys {
            static constexpr std::string_view shouldShowEditorViewOnLaunch = "shouldShowEditorViewOnLaunch";
            static constexpr std::array<std::string_view, 1> allCases{shouldShowEditorViewOnLaunch};
        };
    };

    // Keys outside the groups: no reset touches them.
    static constexpr std::string_view numberOfPhotosProcessedInEditor = "numberOfPhotosProcessedInEditor";
    static constexpr std::string_view numberOfVideosProcessedInEditor = "numberOfVideosProcessedInEditor";
    static constexpr std::string_view shouldUsePerformanceThrottling = "shouldUsePerformanceThrottling";

    // Posted (no object) when the review prompt should be shown.
    static constexpr std::string_view requestReviewNotification = "skRequestReview";

    // Edited items needed before a review is asked for, and the wait after an update.
    static constexpr int64_t kItemsBeforeReview = 5;
    static constexpr int64_t kDaysBetweenReviewsAcrossVersions = 121;

    using Clock = std::chrono::system_clock;

    // `appVersion` is the version this run reports as current (tests inject one).
    explicit StorageManager(UserDefaults& store = UserDefaults::standard(), std::string appVersion = currentAppVersion());

    UserDefaults& store() const { return store_; }
    const std::string& appVersionOfThisRun() const { return version_; }

    // The bundle's "CFBundleShortVersionString" (from its "Info.plist"), else the build's
    // version number.
    static std::string currentAppVersion();
    // The defaults table as registered; dates and versions of review requests have none.
    static PlistDictionary defaultValues();

    void registerDefaults();
    // Once per start, after registerDefaults(): first-launch and update flags, the
    // recorded version on a first launch, and the launch count.
    void updateLaunchState();
    // The update has been seen: "isAppUpdate" false and "appVersion" this run's version.
    void acknowledgeAppUpdate();

    void resetCameraSettings();
    void resetAppState();
    void resetAppReviewState();
    void resetOnboardingState();
    void resetViewState();
    void resetAll();

    // Adds one to an integer counter; saturates instead of wrapping. Returns the new value.
    int64_t incrementCounter(std::string_view key);
    int64_t incrementPhotosProcessedInEditor() { return incrementCounter(numberOfPhotosProcessedInEditor); }
    int64_t incrementVideosProcessedInEditor() { return incrementCounter(numberOfVideosProcessedInEditor); }

    // Whether the review prompt is due now (the rule without the "root screen loaded"
    // condition, which only the caller knows).
    bool isReviewRequestDue(Clock::time_point now = Clock::now()) const;
    // Posts the review-request notification when the root screen is loaded and a review is
    // due; returns whether it posted.
    bool checkReviewRequest(bool rootScreenLoaded, Clock::time_point now = Clock::now(),
                            NotificationCenter& center = NotificationCenter::defaultCenter()) const;
    // After the prompt was shown: asked once, when, and for which recorded version.
    void recordReviewRequest(Clock::time_point now = Clock::now());

private:
    template <size_t N>
    void removeKeys(const std::array<std::string_view, N>& keys);

    UserDefaults& store_;
    std::string version_;
};

}  // namespace vellari
