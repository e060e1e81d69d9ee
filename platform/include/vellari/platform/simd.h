#pragma once
// Instruction sets for the vector kernels. Every kernel is compiled once per target
// (scalar, SSE4, AVX2, AVX-512 on x86) into one portable binary and picks the best one
// the processor has when first called. VELLARI_SIMD in the environment caps the choice
// ("scalar", "sse4", "avx2", "avx512"), for tests and benchmarks on a smaller machine's
// instruction set; an unknown value warns once and is ignored.
//
// A kernel source is a Highway translation unit: it includes <hwy/foreach_target.h>,
// defines its kernels in namespace HWY_NAMESPACE, exports them with HWY_EXPORT and calls
// them through VELLARI_DISPATCH, which applies the cap before the first call.
// VELLARI_SIMD_PROBE registers the unit, so tests can check that every target reaches
// its own code.

#include <cstdint>
#include <string>
#include <vector>

namespace vellari::simd {

// The target the kernels run on now, by the names VELLARI_SIMD takes ("avx512").
std::string targetName();
// Name of one target bit, as above; other architectures' targets in lower case.
std::string nameOf(int64_t target);
// The target bit a name stands for; 0 when unknown.
int64_t targetNamed(const std::string& name);
// The targets this processor runs and the binary holds, best first.
std::vector<int64_t> availableTargets();
// Every target this processor runs and the binary holds, whatever the cap, best first.
std::vector<int64_t> machineTargets();
// The best of those now chosen (after the cap).
int64_t currentTarget();

// Reads VELLARI_SIMD and caps the targets; called once, before the first dispatch.
void applyEnvironmentCap();
inline void ensureConfigured() {
    static const bool done = (applyEnvironmentCap(), true);
    (void)done;
}

// Runs only the given target (and nothing better) from now on; 0 restores the cap from
// the environment. For tests that compare targets within one process.
void setTargetForTest(int64_t target);

// Kernel units that registered a probe: a name and the target its dispatch reached.
struct Probe {
    const char* unit;
    int64_t (*reached)();
};
std::vector<Probe>& probes();
struct ProbeRegistration {
    ProbeRegistration(const char* unit, int64_t (*reached)()) { probes().push_back({unit, reached}); }
};

}  // namespace vellari::simd

// Calls a kernel exported with HWY_EXPORT through the dispatch table.
#define VELLARI_DISPATCH(FN) (::vellari::simd::ensureConfigured(), HWY_DYNAMIC_DISPATCH(FN))

// In a kernel unit: defines and exports a probe returning the unit's compiled target and
// registers it under UNIT (a string). Place the first part inside HWY_NAMESPACE...
// (Internal linkage: units that share a namespace each keep their own.)
#define VELLARI_SIMD_PROBE_KERNEL() \
    [[maybe_unused]] static int64_t SimdProbeTarget() { return HWY_TARGET; }
// ...and this one in the HWY_ONCE part, in a namespace of the unit's own.
#define VELLARI_SIMD_PROBE(UNIT)                                                    \
    HWY_EXPORT(SimdProbeTarget);                                                    \
    static int64_t simdProbeReached() { return VELLARI_DISPATCH(SimdProbeTarget)(); } \
    static const ::vellari::simd::ProbeRegistration simdProbeRegistration(UNIT, &simdProbeReached);
