// The application's settings: launch bookkeeping across restarts and updates, group
// resets, the registered defaults as the rest of the system reads them, and the rule for
// asking for a review.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>

#include "test_support.h"
#include "vellari/app/storage_manager.h"
#include "vellari/capture/resolutions.h"
#include "vellari/platform/notification_center.h"

namespace vellari {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Keys = StorageManager;

class StorageManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = test::tempDir();
        path_ = (fs::path(dir_) / "settings.plist").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    // One application start: a fresh store object on the same file, defaults registered,
    // then the launch bookkeeping, as the application delegate does it.
    StorageManager& launch(const std::string& version) {
        store_ = std::make_unique<UserDefaults>(path_);
        manager_ = std::make_unique<StorageManager>(*store_, version);
        manager_->registerDefaults();
        manager_->updateLaunchState();
        return *manager_;
    }
    UserDefaults& store() { return *store_; }

    std::string dir_, path_;
    std::unique_ptr<UserDefaults> store_;
    std::unique_ptr<StorageManager> manager_;
};

TEST_F(StorageManagerTest, LaunchBookkeepingOverThreeStartsAndAnUpdate) {
    launch("2.0");
    EXPECT_TRUE(store().boolForKey(Keys::App::Keys::isFirstLaunch));
    EXPECT_FALSE(store().boolForKey(Keys::App::Keys::isAppUpdate));
    EXPECT_EQ(store().integerForKey(Keys::App::Keys::numberOfLaunches), 1);
    EXPECT_EQ(store().stringForKey(Keys::App::Keys::appVersion), "2.0");

    for (int64_t n : {2, 3}) {
        launch("2.0");
        EXPECT_FALSE(store().boolForKey(Keys::App::Keys::isFirstLaunch)) << n;
        EXPECT_FALSE(store().boolForKey(Keys::App::Keys::isAppUpdate)) << n;
        EXPECT_EQ(store().integerForKey(Keys::App::Keys::numberOfLaunches), n);
    }

    launch("2.1");
    EXPECT_FALSE(store().boolForKey(Keys::App::Keys::isFirstLaunch));
    EXPECT_TRUE(store().boolForKey(Keys::App::Keys::isAppUpdate));
    EXPECT_EQ(store().integerForKey(Keys::App::Keys::numberOfLaunches), 4);
    EXPECT_EQ(store().stringForKey(Keys::App::Keys::appVersion), "2.0") << "recorded until the update is seen";

    manager_->acknowledgeAppUpdate();
    EXPECT_FALSE(store().boolForKey(Keys::App::Keys::isAppUpdate));
    launch("2.1");
    EXPECT_FALSE(store().boolForKey(Keys::App::Keys::isAppUpdate));
    EXPECT_EQ(store().stringForKey(Keys::App::Keys::appVersion), "2.1");
    EXPECT_EQ(store().integerForKey(Keys::App::Keys::numberOfLaunches), 5);
}

TEST_F(StorageManagerTest, ByDefaultTheBundleVersionIsRecorded) {
    UserDefaults store(path_);
    StorageManager manager(store);
    manager.registerDefaults();
    manager.updateLaunchState();
    EXPECT_FALSE(StorageManager::currentAppVersion().empty());
    EXPECT_EQ(store.stringForKey("appVersion"), StorageManager::currentAppVersion());
}

TEST_F(StorageManagerTest, FirstLaunchClearsLeftoverGroupsButNotTheEditorCounters) {
    {
        // A store with settings but no launch count (e.g. left by an earlier install).
        UserDefaults leftover(path_);
        leftover.setValues({{"previewFPS", PlistValue(12)},
                            {"askedForReviewOnce", PlistValue(true)},
                            {"isPermissionsPrivacyViewSetupFinished", PlistValue(true)},
                            {"shouldShowEditorViewOnLaunch", PlistValue(true)},
                            {"isAppUpdate", PlistValue(true)},
                            {"numberOfPhotosProcessedInEditor", PlistValue(3)}});
    }
    launch("3.0");
    EXPECT_EQ(store().integerForKey("previewFPS"), 24);
    EXPECT_FALSE(store().boolForKey("askedForReviewOnce"));
    EXPECT_FALSE(store().boolForKey("isPermissionsPrivacyViewSetupFinished"));
    EXPECT_FALSE(store().boolForKey("shouldShowEditorViewOnLaunch"));
    EXPECT_FALSE(store().boolForKey("isAppUpdate"));
    EXPECT_TRUE(store().boolForKey("isFirstLaunch"));
    EXPECT_EQ(store().integerForKey("numberOfPhotosProcessedInEditor"), 3);
    EXPECT_EQ(store().integerForKey("numberOfLaunches"), 1);
}

TEST_F(StorageManagerTest, EachGroupResetRemovesExactlyItsOwnKeys) {
    launch("1.0");
    const PlistDictionary edited{
        {"previewResolution", PlistValue(2160)},      {"isGridVisibile", PlistValue(true)},
        {"appVersion", PlistValue("0.9")},            {"askedForReviewOnce", PlistValue(true)},
        {"askedForReviewAppVersion", PlistValue("0.9")}, {"isWelcomeScreenShown", PlistValue(true)},
        {"shouldShowEditorViewOnLaunch", PlistValue(true)}, {"numberOfVideosProcessedInEditor", PlistValue(9)},
        {"shouldUsePerformanceThrottling", PlistValue(true)},
    };
    auto stored = [&](std::string_view k) { return store().hasStoredValue(k); };

    struct Group {
        const char* name;
        void (StorageManager::*reset)();
        std::vector<std::string> removes;
    };
    const std::vector<Group> groups{
        {"camera", &StorageManager::resetCameraSettings, {"previewResolution", "isGridVisibile"}},
        {"app", &StorageManager::resetAppState, {"appVersion", "numberOfLaunches"}},
        {"review", &StorageManager::resetAppReviewState, {"askedForReviewOnce", "askedForReviewAppVersion"}},
        {"onboarding", &StorageManager::resetOnboardingState, {"isWelcomeScreenShown"}},
        {"view", &StorageManager::resetViewState, {"shouldShowEditorViewOnLaunch"}},
    };
    for (const auto& g : groups) {
        SCOPED_TRACE(g.name);
        store().setValues(edited);
        store().set("numberOfLaunches", PlistValue(4));
        (manager_.get()->*g.reset)();
        for (const auto& k : g.removes) EXPECT_FALSE(stored(k)) << k;
        for (const auto& [k, v] : edited) {
            if (std::find(g.removes.begin(), g.removes.end(), k) == g.removes.end()) {
                EXPECT_EQ(store().objectForKey(k), v) << k << " belongs to another group";
            }
        }
    }
    // After a reset the registered defaults show through, and survive a restart.
    manager_->resetCameraSettings();
    UserDefaults reopened(path_);
    StorageManager(reopened, "1.0").registerDefaults();
    EXPECT_EQ(reopened.integerForKey("previewResolution"), 1080);
    EXPECT_FALSE(reopened.boolForKey("isGridVisibile"));
}

TEST_F(StorageManagerTest, RegisteredDefaultsAreWhatTheCaptureReadersSee) {
    launch("1.0");
    // Capture reads the store by key without depending on this layer; the names must agree.
    EXPECT_EQ(setting_keys::imageCaptureResolution, Keys::Camera::Keys::imageCaptureResolution);
    EXPECT_EQ(setting_keys::videoCaptureResolution, Keys::Camera::Keys::videoCaptureResolution);
    EXPECT_EQ(setting_keys::previewResolution, Keys::Camera::Keys::previewResolution);
    EXPECT_EQ(setting_keys::cinemaModeResolution, Keys::Camera::Keys::cinemaModeResolution);
    EXPECT_EQ(setting_keys::previewFPS, Keys::Camera::Keys::previewFPS);
    EXPECT_EQ(setting_keys::videoExportPreset, Keys::Camera::Keys::videoExportPreset);
    EXPECT_EQ(setting_keys::shouldUsePerformanceThrottling, Keys::shouldUsePerformanceThrottling);

    EXPECT_EQ(imageCaptureResolutionSetting(store()), VellariImageResolution::medium);
    EXPECT_EQ(videoCaptureResolutionSetting(store()), VellariVideoResolution::res1080);
    EXPECT_EQ(previewResolutionSetting(store()), 1080);
    EXPECT_EQ(previewFrameRateSetting(store()), 24);
    EXPECT_EQ(videoExportPresetSetting(store()), VellariVideoExportPreset::highQuality);
    EXPECT_FALSE(store().boolForKey(Keys::shouldUsePerformanceThrottling));
    EXPECT_TRUE(store().boolForKey(Keys::Camera::Keys::imageCaptureAutoDenoise));
    EXPECT_EQ(store().integerForKey(Keys::Camera::Keys::defaultCameraLocation), 1);

    // Every grouped key has a default except the review date and version, which start empty.
    const auto defaults = StorageManager::defaultValues();
    auto check = [&](const auto& keys) {
        for (std::string_view k : keys) {
            const bool none = k == Keys::AppReview::Keys::askedForReviewDate ||
                              k == Keys::AppReview::Keys::askedForReviewAppVersion;
            EXPECT_EQ(defaults.count(std::string(k)), none ? 0u : 1u) << k;
        }
    };
    check(Keys::Camera::Keys::allCases);
    check(Keys::App::Keys::allCases);
    check(Keys::AppReview::Keys::allCases);
    check(Keys::Onboarding::Keys::allCases);
    check(Keys::View::Keys::allCases);
    EXPECT_FALSE(store().dateForKey(Keys::AppReview::Keys::askedForReviewDate));
    EXPECT_TRUE(store().persistentDomain().count("previewFPS") == 0) << "defaults are never written as values";
}

TEST_F(StorageManagerTest, CountersSaturateInsteadOfWrapping) {
    launch("1.0");
    EXPECT_EQ(manager_->incrementPhotosProcessedInEditor(), 1);
    EXPECT_EQ(manager_->incrementPhotosProcessedInEditor(), 2);
    store().set(Keys::numberOfVideosProcessedInEditor, PlistValue(std::numeric_limits<int64_t>::max()));
    EXPECT_EQ(manager_->incrementVideosProcessedInEditor(), std::numeric_limits<int64_t>::max());
    // The sum of two huge counters must not wrap negative and hide the review.
    EXPECT_TRUE(manager_->isReviewRequestDue());
}

class ReviewRuleTest : public StorageManagerTest {
protected:
    void SetUp() override {
        StorageManagerTest::SetUp();
        token_ = center_.addObserver(std::string(StorageManager::requestReviewNotification),
                                     [this](const std::string&) { ++posted_; });
    }
    // The root controller opening one item in the editor.
    bool openInEditor(bool photo, StorageManager::Clock::time_point now) {
        if (photo) manager_->incrementPhotosProcessedInEditor();
        else manager_->incrementVideosProcessedInEditor();
        return manager_->checkReviewRequest(true, now, center_);
    }
    // The notification's observer: the prompt, then the record.
    void promptShown(StorageManager::Clock::time_point now) { manager_->recordReviewRequest(now); }

    NotificationCenter center_;
    NotificationCenter::Token token_ = 0;
    int posted_ = 0;
    // Whole seconds: the store keeps dates to the second.
    const StorageManager::Clock::time_point t0_ = StorageManager::Clock::time_point(1'750'000'000s);
};

TEST_F(ReviewRuleTest, FourItemsNeverAskTheFifthAsksOnce) {
    launch("1.0");
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(openInEditor(i % 2 == 0, t0_));
    EXPECT_EQ(posted_, 0);

    EXPECT_FALSE(manager_->checkReviewRequest(false, t0_, center_)) << "only while the root screen is loaded";
    EXPECT_TRUE(openInEditor(false, t0_));
    EXPECT_EQ(posted_, 1);
    promptShown(t0_);
    EXPECT_TRUE(store().boolForKey("askedForReviewOnce"));
    EXPECT_EQ(store().dateForKey("askedForReviewDate"), t0_);
    EXPECT_EQ(store().stringForKey("askedForReviewAppVersion"), "1.0");

    for (int i = 0; i < 5; ++i) EXPECT_FALSE(openInEditor(true, t0_ + 400 * 24h));
    launch("1.0");  // a restart changes nothing
    EXPECT_FALSE(openInEditor(true, t0_ + 800 * 24h));
    EXPECT_EQ(posted_, 1);
}

TEST_F(ReviewRuleTest, AfterAnUpdateTheRequestRepeatsOnlyOnce121DaysHavePassed) {
    launch("1.0");
    for (int i = 0; i < 5; ++i) openInEditor(true, t0_);
    ASSERT_EQ(posted_, 1);
    promptShown(t0_);

    launch("1.1");
    manager_->acknowledgeAppUpdate();  // the root controller sees the update
    // 120 days and 23 hours are not yet 121 whole days.
    EXPECT_FALSE(openInEditor(true, t0_ + 121 * 24h - 1h));
    EXPECT_EQ(posted_, 1);
    EXPECT_TRUE(openInEditor(true, t0_ + 121 * 24h));
    EXPECT_EQ(posted_, 2);
    promptShown(t0_ + 121 * 24h);
    EXPECT_EQ(store().stringForKey("askedForReviewAppVersion"), "1.1");

    // Asked for this version now: no more requests, however long it runs.
    EXPECT_FALSE(openInEditor(false, t0_ + 1000 * 24h));
    EXPECT_EQ(posted_, 2);
}

TEST_F(ReviewRuleTest, AMissingVersionOnOneSideCountsAsDifferent) {
    launch("1.0");
    store().setValues({{"numberOfPhotosProcessedInEditor", PlistValue(5)},
                       {"askedForReviewOnce", PlistValue(true)},
                       {"askedForReviewDate", PlistValue(PlistDate(t0_))}});
    ASSERT_FALSE(store().stringForKey("askedForReviewAppVersion"));
    EXPECT_FALSE(manager_->isReviewRequestDue(t0_ + 30 * 24h));
    EXPECT_TRUE(manager_->isReviewRequestDue(t0_ + 121 * 24h));
    // A clock set back before the last request never counts as time passed.
    EXPECT_FALSE(manager_->isReviewRequestDue(t0_ - 200 * 24h));
}

}  // namespace
}  // namespace vellari
