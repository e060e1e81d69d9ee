#include "vellari/app/storage_manager.h"

#include <limits>
#include <vector>

#include <spdlog/spdlog.h>

#include "vellari/platform/bundle.h"

#ifndef VELLARI_VERSION
#define VELLARI_VERSION "1.0"
#endif

namespace vellari {

StorageManager::StorageManager(UserDefaults& store, std::string appVersion)
    : store_(store), version_(std::move(appVersion)) {}

std::string StorageManager::currentAppVersion() {
    // The bundle does not change while the application runs.
    static const std::string version = [] {
        const Bundle& bundle = Bundle::main();
        if (bundle.valid()) {
            if (auto path = bundle.pathForResource("Info", "plist")) {
                if (auto info = readPlistFile(*path)) {
                    const PlistValue* v = info->find("CFBundleShortVersionString");
                    if (v && v->isString() && !v->string().empty()) return v->string();
                }
            }
        }
        return std::string(VELLARI_VERSION);
    }();
    return version;
}

PlistDictionary StorageManager::defaultValues() {
    using C = Camera::Keys;
    using A = App::Keys;
    using R = AppReview::Keys;
    using O = Onboarding::Keys;
    using V = View::Keys;
    auto k = [](std::string_view s) { return std::string(s); };
    return PlistDictionary{
        {k(C::defaultCameraLocation), PlistValue(int64_t(1))},
        {k(C::previewFPS), PlistValue(int64_t(24))},
        {k(C::previewResolution), PlistValue(int64_t(1080))},
        {k(C::imageCaptureResolution), PlistValue(int64_t(1620))},
        {k(C::imageCaptureAutoDenoise), PlistValue(true)},
        {k(C::videoCaptureResolution), PlistValue(int64_t(1080))},
        {k(C::videoExportPreset), PlistValue(int64_t(0))},
        {k(C::cinemaModeResolution), PlistValue(int64_t(1080))},
        {k(C::autoSaveOriginalPhoto), PlistValue(true)},
        {k(C::autoSaveOriginalVideo), PlistValue(true)},
        {k(C::isCinemaModeActive), PlistValue(true)},
        {k(C::isGridVisibile), PlistValue(false)},
        {k(C::isAutoSwitchCameraOnDeviceRotation), PlistValue(false)},
        {k(A::numberOfLaunches), PlistValue(int64_t(0))},
        {k(A::isFirstLaunch), PlistValue(true)},
        {k(A::appVersion), PlistValue("1.0")},
        {k(A::isAppUpdate), PlistValue(false)},
        {k(R::askedForReviewOnce), PlistValue(false)},
        {k(O::isWelcomeScreenShown), PlistValue(false)},
        {k(O::isPermissionsPrivacyViewSetupFinished), PlistValue(false)},
        {k(V::shouldShowEditorViewOnLaunch), PlistValue(false)},
        {k(numberOfPhotosProcessedInEditor), PlistValue(int64_t(0))},
        {k(numberOfVideosProcessedInEditor), PlistValue(int64_t(0))},
        {k(shouldUsePerformanceThrottling), PlistValue(false)},
    };
}

void StorageManager::registerDefaults() { store_.registerDefaults(defaultValues()); }

void StorageManager::updateLaunchState() {
    // A negative count can only come from a damaged store; start over as on a first launch.
    const bool firstLaunch = store_.integerForKey(App::Keys::numberOfLaunches) <= 0;
    const bool appUpdate = !firstLaunch && store_.stringForKey(App::Keys::appVersion) != version_;
    store_.setValues({{std::string(App::Keys::isFirstLaunch), PlistValue(firstLaunch)},
                      {std::string(App::Keys::isAppUpdate), PlistValue(appUpdate)}});
    store_.synchronize();

    if (firstLaunch) {
        resetAll();
        store_.set(App::Keys::appVersion, PlistValue(version_));
    }
    incrementCounter(App::Keys::numberOfLaunches);
}

void StorageManager::acknowledgeAppUpdate() {
    store_.setValues({{std::string(App::Keys::isAppUpdate), PlistValue(false)},
                      {std::string(App::Keys::appVersion), PlistValue(version_)}});
}

template <size_t N>
void StorageManager::removeKeys(const std::array<std::string_view, N>& keys) {
    store_.removeObjects(std::vector<std::string>(keys.begin(), keys.end()));
}

void StorageManager::resetCameraSettings() { removeKeys(Camera::Keys::allCases); }
void StorageManager::resetAppState() { removeKeys(App::Keys::allCases); }
void StorageManager::resetAppReviewState() { removeKeys(AppReview::Keys::allCases); }
void StorageManager::resetOnboardingState() { removeKeys(Onboarding::Keys::allCases); }
void StorageManager::resetViewState() { removeKeys(View::Keys::allCases); }

void StorageManager::resetAll() {
    resetCameraSettings();
    resetAppState();
    resetAppReviewState();
    resetOnboardingState();
    resetViewState();
}

int64_t StorageManager::incrementCounter(std::string_view key) {
    int64_t value = store_.integerForKey(key);
    if (value == std::numeric_limits<int64_t>::max()) {
        spdlog::warn("Counter {} is at its maximum and stays there", key);
    } else {
        ++value;
    }
    store_.set(key, PlistValue(value));
    return value;
}

bool StorageManager::isReviewRequestDue(Clock::time_point now) const {
    const int64_t photos = store_.integerForKey(numberOfPhotosProcessedInEditor);
    const int64_t videos = store_.integerForKey(numberOfVideosProcessedInEditor);
    int64_t items = 0;
    if (__builtin_add_overflow(photos, videos, &items)) items = std::numeric_limits<int64_t>::max();
    if (items < kItemsBeforeReview) return false;

    const auto askedDate = store_.dateForKey(AppReview::Keys::askedForReviewDate);
    // Nothing stored on one side only counts as a different version.
    if (askedDate && store_.stringForKey(AppReview::Keys::askedForReviewAppVersion) !=
                         store_.stringForKey(App::Keys::appVersion)) {
        const auto days = std::chrono::floor<std::chrono::days>(now - *askedDate).count();
        return days >= kDaysBetweenReviewsAcrossVersions;
    }
    return !store_.boolForKey(AppReview::Keys::askedForReviewOnce);
}

bool StorageManager::checkReviewRequest(bool rootScreenLoaded, Clock::time_point now, NotificationCenter& center) const {
    if (!rootScreenLoaded || !isReviewRequestDue(now)) return false;
    center.post(requestReviewNotification);
    return true;
}

void StorageManager::recordReviewRequest(Clock::time_point now) {
    PlistDictionary values{
        {std::string(AppReview::Keys::askedForReviewOnce), PlistValue(true)},
        {std::string(AppReview::Keys::askedForReviewDate), PlistValue(PlistDate(now))},
    };
    if (auto recorded = store_.stringForKey(App::Keys::appVersion))
        values.emplace(std::string(AppReview::Keys::askedForReviewAppVersion), PlistValue(*recorded));
    store_.setValues(values);
    // No recorded version: a stale one from an earlier request must not linger.
    if (!values.count(std::string(AppReview::Keys::askedForReviewAppVersion)))
        store_.removeObject(AppReview::Keys::askedForReviewAppVersion);
}

}  // namespace vellari
