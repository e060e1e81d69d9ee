#include "vellari/platform/device_state.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace vellari {

namespace fs = std::filesystem;

namespace {

std::string trimmed(std::string s) {
    auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
    s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
    return s;
}

// sysfs attributes are one short line; a missing or unreadable one gives nothing.
std::optional<std::string> readAttribute(const fs::path& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::string line;
    std::getline(in, line);
    if (in.bad()) return std::nullopt;
    return trimmed(line);
}

std::optional<long long> readNumber(const fs::path& path) {
    auto text = readAttribute(path);
    if (!text) return std::nullopt;
    long long v = 0;
    auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), v);
    if (ec != std::errc() || end != text->data() + text->size()) return std::nullopt;
    return v;
}

std::string lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Plausible temperatures in millidegrees; disabled trips read 0 or absurd values.
bool plausible(long long milli) { return milli > -50000 && milli < 200000; }

ThermalState zoneState(const fs::path& zone) {
    auto temp = readNumber(zone / "temp");
    if (!temp || !plausible(*temp)) return ThermalState::nominal;
    std::optional<long long> critical, hot, passive;
    auto keepLowest = [](std::optional<long long>& slot, long long v) { slot = slot ? std::min(*slot, v) : v; };
    for (int i = 0; i < 64; ++i) {
        const std::string stem = "trip_point_" + std::to_string(i);
        auto type = readAttribute(zone / (stem + "_type"));
        if (!type) break;
        auto t = readNumber(zone / (stem + "_temp"));
        if (!t || *t <= 0 || !plausible(*t)) continue;
        if (*type == "critical") keepLowest(critical, *t);
        else if (*type == "hot") keepLowest(hot, *t);
        else if (*type == "passive") keepLowest(passive, *t);
    }
    if ((critical && *temp >= *critical - 5000) || (hot && *temp >= *hot)) return ThermalState::critical;
    std::optional<long long> serious = passive;
    if (!serious && critical) serious = *critical - 15000;
    if (!serious) return ThermalState::nominal;  // no trip points: the zone states nothing
    if (*temp >= *serious) return ThermalState::serious;
    if (*temp >= *serious - 10000) return ThermalState::fair;
    return ThermalState::nominal;
}

std::optional<bool> envLowPower() {
    const char* v = std::getenv("VELLARI_LOW_POWER_MODE");
    if (!v) return std::nullopt;
    const std::string s(v);
    if (s == "1") return true;
    if (s == "0") return false;
    return std::nullopt;
}

std::optional<ThermalState> envThermal() {
    const char* v = std::getenv("VELLARI_THERMAL_STATE");
    return v ? thermalStateFromString(v) : std::nullopt;
}

struct Shared {
    std::mutex mutex;
    std::optional<bool> lowPowerOverride;
    std::optional<ThermalState> thermalOverride;
    std::string root = "/sys";
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> lowPowerRead, thermalRead;
    bool lowPower = false;
    ThermalState thermal = ThermalState::nominal;
};

Shared& shared() {
    static Shared* s = new Shared();
    return *s;
}

constexpr auto kCacheLife = std::chrono::seconds(1);

}  // namespace

std::string_view thermalStateName(ThermalState state) {
    switch (state) {
    case ThermalState::nominal: return "nominal";
    case ThermalState::fair: return "fair";
    case ThermalState::serious: return "serious";
    case ThermalState::critical: return "critical";
    }
    return "nominal";
}

std::optional<ThermalState> thermalStateFromString(std::string_view text) {
    const std::string s = lower(trimmed(std::string(text)));
    for (int i = 0; i <= 3; ++i) {
        const auto state = ThermalState(i);
        if (s == thermalStateName(state) || s == std::to_string(i)) return state;
    }
    return std::nullopt;
}

bool DeviceState::readLowPowerMode(const std::string& root) {
    const fs::path base(root);
    if (auto profile = readAttribute(base / "firmware/acpi/platform_profile"); profile && *profile == "low-power")
        return true;
    std::error_code ec;
    for (fs::directory_iterator it(base / "class/power_supply", ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path dev = it->path();
        if (readAttribute(dev / "type").value_or("") != "Battery") continue;
        // Batteries of mice and headsets report scope "Device"; only the system's count.
        if (readAttribute(dev / "scope").value_or("") == "Device") continue;
        if (readAttribute(dev / "status").value_or("") != "Discharging") continue;
        auto capacity = readNumber(dev / "capacity");
        if (capacity && *capacity >= 0 && *capacity <= 20) return true;
    }
    return false;
}

ThermalState DeviceState::readThermalState(const std::string& root) {
    ThermalState worst = ThermalState::nominal;
    std::error_code ec;
    for (fs::directory_iterator it(fs::path(root) / "class/thermal", ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename().string().rfind("thermal_zone", 0) != 0) continue;
        worst = std::max(worst, zoneState(it->path()));
    }
    return worst;
}

bool DeviceState::isLowPowerModeEnabled() {
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    if (s.lowPowerOverride) return *s.lowPowerOverride;
    if (auto env = envLowPower()) return *env;
    const auto now = Shared::Clock::now();
    if (!s.lowPowerRead || now - *s.lowPowerRead >= kCacheLife) {
        s.lowPower = readLowPowerMode(s.root);
        s.lowPowerRead = now;
    }
    return s.lowPower;
}

ThermalState DeviceState::thermalState() {
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    if (s.thermalOverride) return *s.thermalOverride;
    if (auto env = envThermal()) return *env;
    const auto now = Shared::Clock::now();
    if (!s.thermalRead || now - *s.thermalRead >= kCacheLife) {
        s.thermal = readThermalState(s.root);
        s.thermalRead = now;
    }
    return s.thermal;
}

void DeviceState::setLowPowerModeOverride(std::optional<bool> enabled) {
    std::lock_guard lock(shared().mutex);
    shared().lowPowerOverride = enabled;
}

void DeviceState::setThermalStateOverride(std::optional<ThermalState> state) {
    std::lock_guard lock(shared().mutex);
    shared().thermalOverride = state;
}

void DeviceState::clearOverrides() {
    std::lock_guard lock(shared().mutex);
    shared().lowPowerOverride.reset();
    shared().thermalOverride.reset();
}

void DeviceState::setSystemRoot(std::string root) {
    std::lock_guard lock(shared().mutex);
    shared().root = std::move(root);
    shared().lowPowerRead.reset();
    shared().thermalRead.reset();
}

std::string DeviceState::systemRoot() {
    std::lock_guard lock(shared().mutex);
    return shared().root;
}

}  // namespace vellari
