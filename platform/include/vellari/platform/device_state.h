#pragma once
// The device's power and thermal condition, as the live preview's throttling sees it.
//
// On Linux there is no single switch for either, so they are derived from sysfs:
// - Low-power mode is on when the ACPI platform profile is "low-power", or when a system
//   battery (not a peripheral's) is discharging at 20 % or less.
// - The thermal state is the worst over the thermal zones that report trip points:
//   critical from 5 °C below the critical trip (or at a "hot" trip), serious from the
//   first passive trip (else 15 °C below critical), fair from 10 °C below serious.
// Where sysfs reports nothing, the answers are off and nominal. Readings are cached for
// a second, since the preview asks on every frame.
//
// Overrides, strongest first: setLowPowerModeOverride / setThermalStateOverride, then the
// environment variables VELLARI_LOW_POWER_MODE ("1" or "0") and VELLARI_THERMAL_STATE
// ("nominal", "fair", "serious", "critical" or 0 to 3); other values are ignored.

#include <optional>
#include <string>
#include <string_view>

namespace vellari {

enum class ThermalState : int { nominal = 0, fair = 1, serious = 2, critical = 3 };

std::string_view thermalStateName(ThermalState state);
// A name as above or its raw value in decimal; nothing otherwise.
std::optional<ThermalState> thermalStateFromString(std::string_view text);

class DeviceState {
public:
    static bool isLowPowerModeEnabled();
    static ThermalState thermalState();

    // Nullopt removes the override. Thread-safe.
    static void setLowPowerModeOverride(std::optional<bool> enabled);
    static void setThermalStateOverride(std::optional<ThermalState> state);
    static void clearOverrides();

    // The sysfs root that is read ("/sys" by default); setting it drops the cache.
    static void setSystemRoot(std::string root);
    static std::string systemRoot();

    // Uncached readings of a sysfs tree at `root`.
    static bool readLowPowerMode(const std::string& root);
    static ThermalState readThermalState(const std::string& root);
};

}  // namespace vellari
