#include "vellari/capture/throttling.h"

#include "vellari/capture/resolutions.h"

namespace vellari {

std::string_view ThrottleDecision::notificationName() const {
    if (!notify) return {};
    switch (kind) {
    case ThrottleKind::lowPower: return PerformanceThrottling::lowPower;
    case ThrottleKind::thermal: return PerformanceThrottling::thermal;
    case ThrottleKind::none: break;
    }
    return PerformanceThrottling::none;
}

double throttleFactorForThermalState(ThermalState state) {
    switch (state) {
    case ThermalState::serious: return 6.0;
    case ThermalState::critical: return 8.0;
    case ThermalState::nominal:
    case ThermalState::fair: break;
    }
    return 1.0;
}

ThrottleDecision decidePerformanceThrottle(int64_t mediaType, bool lowPowerMode, ThermalState thermal,
                                           bool throttlingEnabled) {
    if (mediaType != kLiveCameraMediaType) return {};
    const double factor = lowPowerMode ? kLowPowerThrottleFactor : throttleFactorForThermalState(thermal);
    if ((lowPowerMode || factor > 1.0) && throttlingEnabled)
        return {factor, lowPowerMode ? ThrottleKind::lowPower : ThrottleKind::thermal, true};
    return {1.0, ThrottleKind::none, true};
}

double performanceThrottleFactor(int64_t mediaType, const UserDefaults& store, NotificationCenter& center) {
    if (mediaType != kLiveCameraMediaType) return 1.0;  // no need to ask the system
    const bool lowPower = DeviceState::isLowPowerModeEnabled();
    const ThermalState thermal = lowPower ? ThermalState::nominal : DeviceState::thermalState();
    const ThrottleDecision d =
        decidePerformanceThrottle(mediaType, lowPower, thermal, store.boolForKey(setting_keys::shouldUsePerformanceThrottling));
    center.post(d.notificationName());
    return d.factor;
}

}  // namespace vellari
