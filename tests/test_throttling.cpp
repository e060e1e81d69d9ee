// Performance throttling: the decision for low power and each thermal state, the
// notifications it posts, the notification centre that carries them, and the device
// state read from a system tree.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

#include "test_support.h"
#include "vellari/capture/throttling.h"

namespace vellari {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kStill = 1, kVideo = 2;

TEST(ThrottleDecision, CameraFactorsForLowPowerAndEachThermalState) {
    struct Case {
        bool lowPower;
        ThermalState thermal;
        double factor;
        std::string_view posted;
    };
    const std::vector<Case> cases{
        {false, ThermalState::nominal, 1.0, PerformanceThrottling::none},
        {false, ThermalState::fair, 1.0, PerformanceThrottling::none},
        {false, ThermalState::serious, 6.0, PerformanceThrottling::thermal},
        {false, ThermalState::critical, 8.0, PerformanceThrottling::thermal},
        {true, ThermalState::nominal, 4.0, PerformanceThrottling::lowPower},
        // Low-power mode wins over the temperature, even a critical one.
        {true, ThermalState::critical, 4.0, PerformanceThrottling::lowPower},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(thermalStateName(c.thermal)) + (c.lowPower ? " low power" : ""));
        const auto d = decidePerformanceThrottle(kLiveCameraMediaType, c.lowPower, c.thermal, true);
        EXPECT_EQ(d.factor, c.factor);
        EXPECT_TRUE(d.notify);
        EXPECT_EQ(d.notificationName(), c.posted);

        // The setting off: nothing degrades, and the notice is told to go away.
        const auto off = decidePerformanceThrottle(kLiveCameraMediaType, c.lowPower, c.thermal, false);
        EXPECT_EQ(off.factor, 1.0);
        EXPECT_EQ(off.notificationName(), PerformanceThrottling::none);
    }
}

TEST(ThrottleDecision, OnlyTheLiveCameraIsEverThrottledOrAnnounced) {
    for (int64_t media : {kStill, kVideo, int64_t(0), int64_t(8)}) {
        for (bool lowPower : {false, true}) {
            const auto d = decidePerformanceThrottle(media, lowPower, ThermalState::critical, true);
            EXPECT_EQ(d.factor, 1.0) << media;
            EXPECT_FALSE(d.notify) << media;
            EXPECT_TRUE(d.notificationName().empty());
        }
    }
}

class ThrottleFactorTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = test::tempDir();
        store_ = std::make_unique<UserDefaults>((fs::path(dir_) / "settings.plist").string());
        store_->registerDefaults({{"shouldUsePerformanceThrottling", PlistValue(false)}});
        for (auto name : PerformanceThrottling::allNames)
            center_.addObserver(std::string(name), [this](const std::string& n) { ++posts_[n]; });
    }
    void TearDown() override {
        DeviceState::clearOverrides();
        fs::remove_all(dir_);
    }
    int postsOf(std::string_view name) { return posts_[std::string(name)]; }
    int totalPosts() {
        int n = 0;
        for (auto& [k, v] : posts_) n += v;
        return n;
    }

    std::string dir_;
    std::unique_ptr<UserDefaults> store_;
    NotificationCenter center_;
    std::map<std::string, int> posts_;
};

TEST_F(ThrottleFactorTest, ReadsDeviceStateAndSettingAndPostsOncePerFrame) {
    DeviceState::setLowPowerModeOverride(false);
    DeviceState::setThermalStateOverride(ThermalState::critical);

    // Setting off, device hot: no degradation, "none" posted.
    EXPECT_EQ(performanceThrottleFactor(kLiveCameraMediaType, *store_, center_), 1.0);
    EXPECT_EQ(postsOf(PerformanceThrottling::none), 1);

    store_->set("shouldUsePerformanceThrottling", PlistValue(true));
    EXPECT_EQ(performanceThrottleFactor(kLiveCameraMediaType, *store_, center_), 8.0);
    EXPECT_EQ(postsOf(PerformanceThrottling::thermal), 1);

    DeviceState::setLowPowerModeOverride(true);
    EXPECT_EQ(performanceThrottleFactor(kLiveCameraMediaType, *store_, center_), 4.0);
    EXPECT_EQ(postsOf(PerformanceThrottling::lowPower), 1);

    // Editing a video on a hot device in low-power mode: nothing at all.
    EXPECT_EQ(performanceThrottleFactor(kVideo, *store_, center_), 1.0);
    EXPECT_EQ(performanceThrottleFactor(kStill, *store_, center_), 1.0);
    EXPECT_EQ(totalPosts(), 3);

    DeviceState::setLowPowerModeOverride(false);
    DeviceState::setThermalStateOverride(ThermalState::fair);
    EXPECT_EQ(performanceThrottleFactor(kLiveCameraMediaType, *store_, center_), 1.0);
    EXPECT_EQ(postsOf(PerformanceThrottling::none), 2);
}

// --- notification centre

TEST(NotificationCenterTest, ObserversRunSynchronouslyOnThePostingThreadInOrder) {
    NotificationCenter center;
    std::vector<std::string> calls;
    std::thread::id seenOn;
    center.addObserver("settingsUpdated", [&](const std::string& n) {
        calls.push_back("first " + n);
        seenOn = std::this_thread::get_id();
    });
    center.addObserver("settingsUpdated", [&](const std::string& n) { calls.push_back("second " + n); });
    center.addObserver("other", [&](const std::string&) { calls.push_back("other"); });

    std::thread poster([&] {
        center.post("settingsUpdated");
        // Done by the time post returns.
        EXPECT_EQ(calls.size(), 2u);
        EXPECT_EQ(seenOn, std::this_thread::get_id());
    });
    poster.join();
    EXPECT_EQ(calls, (std::vector<std::string>{"first settingsUpdated", "second settingsUpdated"}));
    EXPECT_EQ(center.addObserver("x", nullptr), 0u) << "an empty callback is refused";
    center.post("nobody listens");
}

TEST(NotificationCenterTest, RemovedObserversAreNotCalled) {
    NotificationCenter center;
    int a = 0, b = 0, c = 0;
    const auto ta = center.addObserver("n", [&](const std::string&) { ++a; });
    NotificationCenter::Token tb = 0;
    // b removes itself on its first call; c is removed by a before its turn comes.
    NotificationCenter::Token tc = 0;
    tb = center.addObserver("n", [&](const std::string&) {
        ++b;
        center.removeObserver(tb);
    });
    tc = center.addObserver("n", [&](const std::string&) { ++c; });
    center.removeObserver(ta);
    center.removeObserver(ta);  // twice: ignored
    center.removeObserver(12345);

    center.post("n");
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(c, 1);
    center.post("n");
    EXPECT_EQ(b, 1);
    EXPECT_EQ(c, 2);

    const auto td = center.addObserver("m", [&](const std::string&) { center.removeObserver(tc); });
    center.addObserver("m", [&](const std::string&) { center.post("n"); });
    center.post("m");  // d removes c; the nested post then reaches nobody on "n"
    EXPECT_EQ(c, 2);
    EXPECT_EQ(center.observerCount("n"), 0u);
    center.removeObserver(td);
    EXPECT_EQ(center.observerCount("m"), 1u);

    {
        NotificationObservation scoped(center, "s", [&](const std::string&) { ++a; });
        center.post("s");
    }
    center.post("s");
    EXPECT_EQ(a, 1) << "the scoped observation ends with its scope";
}

TEST(NotificationCenterTest, RemovalWaitsForACallRunningOnAnotherThread) {
    NotificationCenter center;
    std::atomic<bool> entered{false}, release{false}, finished{false};
    const auto token = center.addObserver("frame", [&](const std::string&) {
        entered = true;
        while (!release) std::this_thread::yield();
        finished = true;
    });
    std::thread poster([&] { center.post("frame"); });
    while (!entered) std::this_thread::yield();

    std::atomic<bool> finishedWhenRemoved{false};
    std::thread remover([&] {
        center.removeObserver(token);
        finishedWhenRemoved = finished.load();
    });
    // Give a wrong implementation the chance to return early.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    release = true;
    remover.join();
    poster.join();
    EXPECT_TRUE(finishedWhenRemoved) << "the observer's owner could be gone while it still runs";
}

// --- device state

class DeviceStateTest : public ::testing::Test {
protected:
    void SetUp() override { root_ = fs::path(test::tempDir()); }
    void TearDown() override {
        DeviceState::clearOverrides();
        DeviceState::setSystemRoot("/sys");
        unsetenv("VELLARI_THERMAL_STATE");
        unsetenv("VELLARI_LOW_POWER_MODE");
        fs::remove_all(root_);
    }
    void write(const fs::path& relative, const std::string& text) {
        fs::create_directories((root_ / relative).parent_path());
        std::ofstream(root_ / relative) << text << "\n";
    }
    void battery(const std::string& name, const std::string& status, int capacity, const std::string& scope = "") {
        const fs::path dev = fs::path("class/power_supply") / name;
        write(dev / "type", "Battery");
        write(dev / "status", status);
        write(dev / "capacity", std::to_string(capacity));
        if (!scope.empty()) write(dev / "scope", scope);
    }
    void zone(int index, long long temp, std::vector<std::pair<std::string, long long>> trips) {
        const fs::path z = fs::path("class/thermal") / ("thermal_zone" + std::to_string(index));
        fs::remove_all(root_ / z);
        write(z / "temp", std::to_string(temp));
        for (size_t i = 0; i < trips.size(); ++i) {
            write(z / ("trip_point_" + std::to_string(i) + "_type"), trips[i].first);
            write(z / ("trip_point_" + std::to_string(i) + "_temp"), std::to_string(trips[i].second));
        }
    }
    std::string root() const { return root_.string(); }

    fs::path root_;
};

TEST_F(DeviceStateTest, NothingReportedReadsAsOffAndNominal) {
    EXPECT_FALSE(DeviceState::readLowPowerMode(root()));
    EXPECT_EQ(DeviceState::readThermalState(root()), ThermalState::nominal);
    EXPECT_FALSE(DeviceState::readLowPowerMode((root_ / "absent").string()));
}

TEST_F(DeviceStateTest, LowPowerFromADischargingSystemBatteryOrThePlatformProfile) {
    write("class/power_supply/AC/type", "Mains");
    battery("BAT0", "Charging", 10);
    EXPECT_FALSE(DeviceState::readLowPowerMode(root())) << "charging";
    battery("BAT0", "Discharging", 55);
    EXPECT_FALSE(DeviceState::readLowPowerMode(root()));
    battery("mouse_battery_0", "Discharging", 5, "Device");
    EXPECT_FALSE(DeviceState::readLowPowerMode(root())) << "a mouse's battery says nothing about the device";
    battery("BAT0", "Discharging", 20);
    EXPECT_TRUE(DeviceState::readLowPowerMode(root()));

    battery("BAT0", "Full", 100);
    write("firmware/acpi/platform_profile", "balanced");
    EXPECT_FALSE(DeviceState::readLowPowerMode(root()));
    write("firmware/acpi/platform_profile", "low-power");
    EXPECT_TRUE(DeviceState::readLowPowerMode(root()));
}

TEST_F(DeviceStateTest, ThermalStateFromTripPointsWorstZoneWins) {
    const std::vector<std::pair<std::string, long long>> trips{
        {"active", 40000}, {"passive", 80000}, {"critical", 100000}};
    struct Case {
        long long temp;
        ThermalState expected;
    };
    for (auto [temp, expected] : std::vector<Case>{{50000, ThermalState::nominal},
                                                   {72000, ThermalState::fair},
                                                   {85000, ThermalState::serious},
                                                   {96000, ThermalState::critical}}) {
        zone(0, temp, trips);
        EXPECT_EQ(DeviceState::readThermalState(root()), expected) << temp;
    }
    // No passive trip: serious from 15 degrees below critical.
    zone(0, 30000, trips);
    zone(1, 87000, {{"critical", 100000}});
    EXPECT_EQ(DeviceState::readThermalState(root()), ThermalState::serious);
    // A zone without trip points, or with disabled ones, states nothing however warm.
    zone(1, 99000, {});
    zone(2, 99000, {{"critical", 0}});
    EXPECT_EQ(DeviceState::readThermalState(root()), ThermalState::nominal);
}

TEST_F(DeviceStateTest, OverridesWinOverEnvironmentWhichWinsOverTheSystem) {
    zone(0, 99000, {{"critical", 100000}});
    battery("BAT0", "Discharging", 3);
    DeviceState::setSystemRoot(root());
    EXPECT_EQ(DeviceState::thermalState(), ThermalState::critical);
    EXPECT_TRUE(DeviceState::isLowPowerModeEnabled());

    setenv("VELLARI_THERMAL_STATE", "fair", 1);
    setenv("VELLARI_LOW_POWER_MODE", "0", 1);
    EXPECT_EQ(DeviceState::thermalState(), ThermalState::fair);
    EXPECT_FALSE(DeviceState::isLowPowerModeEnabled());

    DeviceState::setThermalStateOverride(ThermalState::serious);
    DeviceState::setLowPowerModeOverride(true);
    EXPECT_EQ(DeviceState::thermalState(), ThermalState::serious);
    EXPECT_TRUE(DeviceState::isLowPowerModeEnabled());

    DeviceState::clearOverrides();
    setenv("VELLARI_THERMAL_STATE", "lukewarm", 1);  // not a state: ignored
    setenv("VELLARI_LOW_POWER_MODE", "maybe", 1);
    EXPECT_EQ(DeviceState::thermalState(), ThermalState::critical);
    EXPECT_TRUE(DeviceState::isLowPowerModeEnabled());

    EXPECT_EQ(thermalStateFromString("2"), ThermalState::serious);
    EXPECT_EQ(thermalStateFromString(" Critical "), ThermalState::critical);
    EXPECT_FALSE(thermalStateFromString("4"));
}

}  // namespace
}  // namespace vellari
