#pragma once
// The live preview's performance throttling decision: from the device's low-power mode
// and thermal state, and the user's opt-in setting, a factor by which the preview lowers
// its work (1 = none) and the notification that tells the camera screen about it.
//
// Only the live camera is ever throttled; stills, editing and rendering always get 1.

#include <array>
#include <cstdint>
#include <string_view>

#include "vellari/platform/device_state.h"
#include "vellari/platform/notification_center.h"
#include "vellari/platform/user_defaults.h"

namespace vellari {

// The notification names, posted with no object on every processed camera frame.
struct PerformanceThrottling {
    static constexpr std::string_view none = "performanceThrottleNone";
    static constexpr std::string_view lowPower = "performanceThrottleLowPower";
    static constexpr std::string_view thermal = "performanceThrottleThermal";
    static constexpr std::array<std::string_view, 3> allNames{none, lowPower, thermal};
};

// The media type of the live camera (stills are 1, video 2).
inline constexpr int64_t kLiveCameraMediaType = 4;

enum class ThrottleKind { none, lowPower, thermal };

struct ThrottleDecision {
    double factor = 1.0;
    ThrottleKind kind = ThrottleKind::none;
    // Whether a notification goes out at all (not for media other than the camera).
    bool notify = false;

    // The name to post for this decision; empty when `notify` is false.
    std::string_view notificationName() const;
    friend bool operator==(const ThrottleDecision&, const ThrottleDecision&) = default;
};

// 1 for nominal and fair, 6 for serious, 8 for critical.
double throttleFactorForThermalState(ThermalState state);
inline constexpr double kLowPowerThrottleFactor = 4.0;

// The decision itself; low-power mode wins over the thermal state.
ThrottleDecision decidePerformanceThrottle(int64_t mediaType, bool lowPowerMode, ThermalState thermal,
                                           bool throttlingEnabled);

// Reads the device state and the setting "shouldUsePerformanceThrottling", posts the
// decision's notification on `center` and returns the factor to use.
double performanceThrottleFactor(int64_t mediaType, const UserDefaults& store = UserDefaults::standard(),
                                 NotificationCenter& center = NotificationCenter::defaultCenter());

}  // namespace vellari
