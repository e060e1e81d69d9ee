// Target names, the VELLARI_SIMD cap and the probe registry.
#include "vellari/platform/simd.h"

#include <hwy/highway.h>
#include <hwy/targets.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace vellari::simd {
namespace {

struct Named {
    const char* name;
    int64_t target;
};
// HWY_EMU128 is Highway's portable fallback: plain C++ on arrays of lanes.
constexpr Named kNames[] = {
    {"scalar", HWY_EMU128},
#if HWY_ARCH_X86
    {"sse4", HWY_SSE4},
    {"avx2", HWY_AVX2},
    {"avx512", HWY_AVX3},
#endif
};

// Every target better than (lower bit than) the given one.
int64_t betterThan(int64_t target) { return target - 1; }

int64_t environmentCap() {
    const char* v = std::getenv("VELLARI_SIMD");
    if (!v || !*v) return 0;
    const int64_t t = targetNamed(v);
    if (t == 0) {
        std::string known;
        for (const auto& n : kNames) known += std::string(known.empty() ? "" : ", ") + n.name;
        spdlog::warn("VELLARI_SIMD={} is not an instruction set ({}); using the best available", v, known);
    }
    return t;
}

}  // namespace

std::string nameOf(int64_t target) {
    for (const auto& n : kNames)
        if (n.target == target) return n.name;
    std::string s = hwy::TargetName(target);
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

int64_t targetNamed(const std::string& name) {
    std::string s = name;
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    for (const auto& n : kNames)
        if (s == n.name) return n.target;
    return 0;
}

std::vector<int64_t> availableTargets() {
    ensureConfigured();
    return hwy::SupportedAndGeneratedTargets();
}

std::vector<int64_t> machineTargets() {
    ensureConfigured();
    hwy::DisableTargets(0);
    auto all = hwy::SupportedAndGeneratedTargets();
    applyEnvironmentCap();
    return all;
}

int64_t currentTarget() {
    const auto t = availableTargets();
    return t.empty() ? HWY_STATIC_TARGET : t.front();
}

std::string targetName() { return nameOf(currentTarget()); }

void applyEnvironmentCap() {
    if (const int64_t cap = environmentCap()) hwy::DisableTargets(betterThan(cap));
}

void setTargetForTest(int64_t target) {
    ensureConfigured();
    hwy::DisableTargets(0);
    if (target == 0) {
        hwy::SetSupportedTargetsForTest(0);
        applyEnvironmentCap();
        return;
    }
    hwy::SetSupportedTargetsForTest(target);
}

std::vector<Probe>& probes() {
    static std::vector<Probe> all;
    return all;
}

}  // namespace vellari::simd
