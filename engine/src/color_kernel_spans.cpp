// The engine's colour kernels, compiled once per instruction set.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "engine/src/color_kernel_spans.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "color_kernel_spans.h"
#include "vellari/platform/simd.h"

// The unit's own namespace: every unit defines a probe of the same name.
HWY_BEFORE_NAMESPACE();
namespace vellari::color_kernel_spans::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

VELLARI_SIMD_PROBE_KERNEL()

// On the interleaved floats: the weighted channels of each pixel are summed within its own
// four lanes by two swaps, ((r + g) + (b + 0)) in every lane whichever the order, so the
// three colour channels come out exactly equal; the alpha lane is kept. Whole vectors
// first, then a pixel at a time with the same code.
HWY_FLATTEN void GrayscaleSpan(const float* HWY_RESTRICT p, float* HWY_RESTRICT out, size_t n) {
    const hn::CappedTag<float, 4> d4;
    static_assert(hn::MaxLanes(d4) == 4, "a vector holds at least one pixel");
    alignas(16) static constexpr float kWeights[4] = {0.3f, 0.59f, 0.11f, 0.f};
    auto body = [&](auto d, size_t i) {
        const hn::RebindToSigned<decltype(d)> di;
        const auto three = hn::Set(di, 3);
        const auto alphaLane = hn::RebindMask(d, hn::Eq(hn::And(hn::Iota(di, 0), three), three));
        const auto v = hn::LoadU(d, p + i);
        const auto m = hn::Mul(v, hn::LoadDup128(d, kWeights));
        const auto pairs = hn::Add(m, hn::Shuffle2301(m));
        const auto sum = hn::Add(pairs, hn::Shuffle1032(pairs));
        hn::StoreU(hn::IfThenElse(alphaLane, v, sum), d, out + i);
    };
    const hn::ScalableTag<float> df;
    const size_t N = hn::Lanes(df), total = 4 * n;
    size_t i = 0;
    for (; i + N <= total; i += N) body(df, i);
    for (; i < total; i += 4) body(d4, i);
}

}  // namespace vellari::color_kernel_spans::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vellari::color_kernel_spans {
namespace {
VELLARI_SIMD_PROBE("engine colour kernels")
}  // namespace

HWY_EXPORT(GrayscaleSpan);
}  // namespace vellari::color_kernel_spans

namespace vellari::kernels {

void grayscaleSpan(const float* p, float* out, size_t n) {
    VELLARI_DISPATCH(color_kernel_spans::GrayscaleSpan)(p, out, n);
}

}  // namespace vellari::kernels
#endif  // HWY_ONCE
