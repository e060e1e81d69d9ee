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

// The targets now allowed, with the dispatch tables' choice set to the best of them.
// hwy::SupportedTargets() alone re-detects the processor and leaves the choice at its
// best target, cap or no cap, until something calls Update: do that here every time.
std::vector<int64_t> allowedTargets() {
    const int64_t allowed = hwy::SupportedTargets();
    hwy::GetChosenTarget().Update(allowed);
    std::vector<int64_t> list;
    for (int64_t t = allowed & HWY_TARGETS; t != 0; t &= t - 1) list.push_back(t & ~(t - 1));
    return list;
}

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
    return allowedTargets();
}

std::vector<int64_t> machineTargets() {
    ensureConfigured();
    hwy::DisableTargets(0);
    auto all = allowedTargets();
    applyEnvironmentCap();
    return all;
}

int64_t currentTarget() {
    const auto t = availableTargets();
    return t.empty() ? HWY_STATIC_TARGET : t.front();
}

std::string targetName() { return nameOf(currentTarget()); }

void applyEnvironmentCap() {
    static const int64_t cap = environmentCap();  // read (and warned about) once
    hwy::DisableTargets(cap ? betterThan(cap) : 0);
    allowedTargets();
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
    allowedTargets();
}

std::vector<Probe>& probes() {
    static std::vector<Probe> all;
    return all;
}

}  // namespace vellari::simd
