// Ink-blob span kernels, compiled once per instruction set. Winners and thresholds are
// compares and selects; kernels that treat every channel alike (or look at one channel
// and write whole colours) work on the interleaved pixels as loaded.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "styles/src/blob_spans.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <hwy/contrib/math/math-inl.h>

#include "blob_spans.h"
#include "style_spans-inl.h"
#include "vellari/platform/pixel_vectors-inl.h"
#include "vellari/platform/simd.h"

HWY_BEFORE_NAMESPACE();
namespace vellari::styles::blobs::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using namespace vellari::simd::HWY_NAMESPACE;
using namespace vellari::styles::HWY_NAMESPACE;

VELLARI_SIMD_PROBE_KERNEL()

// Class masks (1 or 0) times the class value, so the losing channels are exactly as the
// rules define them; alpha is kept.
template <class D, class V>
HWY_INLINE void StoreClasses(D d, V mr, V mg, V value, V alpha, float* HWY_RESTRICT out) {
    const V mb = hn::Sub(hn::Sub(hn::Set(d, 1.0f), mr), mg);
    StorePlanes(d, Planes<D>{hn::Mul(mr, value), hn::Mul(mg, value), hn::Mul(mb, value), alpha}, out);
}

// Winner masks of r, g, b with ties towards red, then green.
template <class D, class V>
HWY_INLINE void Winner(D d, V r, V g, V b, V& mr, V& mg) {
    const auto redWins = hn::And(hn::Ge(r, g), hn::Ge(r, b));
    const auto greenWins = hn::AndNot(redWins, hn::Ge(g, b));
    mr = hn::IfThenElseZero(redWins, hn::Set(d, 1.0f));
    mg = hn::IfThenElseZero(greenWins, hn::Set(d, 1.0f));
}

template <WinnerValue kValue>
HWY_INLINE void WinnerTakeAll(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        const Planes<decltype(d)> q = LoadPlanes(d, src + 4 * i);
        hn::Vec<decltype(d)> mr, mg;
        Winner(d, q.r, q.g, q.b, mr, mg);
        const auto mx = hn::Max(q.r, hn::Max(q.g, q.b));
        auto value = mx;
        if (kValue == WinnerValue::One) value = hn::Set(d, 1.0f);
        if (kValue == WinnerValue::Lead) {
            // The runner-up is the middle value: sum minus the largest and the smallest.
            const auto mn = hn::Min(q.r, hn::Min(q.g, q.b));
            const auto second = hn::Sub(hn::Sub(hn::Add(hn::Add(q.r, q.g), q.b), mx), mn);
            value = hn::Sub(mx, second);
        }
        StoreClasses(d, mr, mg, value, q.a, dst + 4 * i);
    });
}

void WinnerTakeAllSpan(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n, WinnerValue value) {
    switch (value) {
        case WinnerValue::Value: return WinnerTakeAll<WinnerValue::Value>(src, dst, n);
        case WinnerValue::One: return WinnerTakeAll<WinnerValue::One>(src, dst, n);
        case WinnerValue::Lead: return WinnerTakeAll<WinnerValue::Lead>(src, dst, n);
    }
}

void WinnerTakeAllSaturationSpan(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n, float threshold) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        const Planes<decltype(d)> q = LoadPlanes(d, src + 4 * i);
        hn::Vec<decltype(d)> mr, mg;
        Winner(d, q.r, q.g, q.b, mr, mg);
        const auto mx = hn::Max(q.r, hn::Max(q.g, q.b)), mn = hn::Min(q.r, hn::Min(q.g, q.b));
        // max − min < t·max needs no division; black (max 0) is classless whatever t is.
        const auto grey =
            hn::Or(hn::Lt(hn::Sub(mx, mn), hn::Mul(hn::Set(d, threshold), mx)), hn::Le(mx, hn::Zero(d)));
        StoreClasses(d, mr, mg, hn::IfThenZeroElse(grey, mx), q.a, dst + 4 * i);
    });
}

void WinnerTakeAllMaxThresholdSpan(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n,
                                   float threshold) {
    const float half = 0.5f * threshold;
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        const Planes<decltype(d)> q = LoadPlanes(d, src + 4 * i);
        const auto one = hn::Set(d, 1.0f);
        const auto mx = hn::Max(q.r, hn::Max(q.g, q.b));
        const auto v = hn::IfThenElseZero(hn::Gt(q.a, hn::Zero(d)), hn::Div(mx, q.a));
        const auto light = hn::Gt(v, hn::Set(d, threshold));
        const auto mr = hn::IfThenElseZero(light, one);
        const auto mg = hn::IfThenElseZero(hn::AndNot(light, hn::Gt(v, hn::Set(d, half))), one);
        StoreClasses(d, mr, mg, q.a, q.a, dst + 4 * i);
    });
}

template <bool kBGR>
HWY_INLINE void ThresholdInvert(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n, float threshold) {
    ForEachPixelBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        auto v = hn::LoadU(d, src + i);
        // Red and blue of each pixel swapped: (b, g, r, a).
        if (kBGR) v = hn::OddEven(v, hn::Shuffle1032(v));
        const auto below = hn::IfThenElseZero(hn::Le(v, hn::Set(d, threshold)), hn::Set(d, 1.0f));
        hn::StoreU(hn::IfThenElse(AlphaLanes(d), v, below), d, dst + i);
    });
}

void ThresholdInvertSpan(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n, float threshold,
                         bool bgr) {
    if (bgr)
        ThresholdInvert<true>(src, dst, n, threshold);
    else
        ThresholdInvert<false>(src, dst, n, threshold);
}

void ThresholdColorizeSpan(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n, float threshold,
                           const float* HWY_RESTRICT lower, const float* HWY_RESTRICT upper) {
    ForEachPixelBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        const auto below = hn::Le(hn::Broadcast<0>(hn::LoadU(d, src + i)), hn::Set(d, threshold));
        hn::StoreU(hn::IfThenElse(below, hn::LoadDup128(d, lower), hn::LoadDup128(d, upper)), d, dst + i);
    });
}

void QuantizeBandsSpan(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n, float bands) {
    const float top = bands - 1.0f, inv = 1.0f / bands;
    ForEachPixelBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        const auto v = hn::LoadU(d, src + i);
        const auto k = hn::Min(hn::Max(hn::Floor(hn::Mul(v, hn::Set(d, bands))), hn::Zero(d)), hn::Set(d, top));
        const auto mid = hn::Mul(hn::Add(k, hn::Set(d, 0.5f)), hn::Set(d, inv));
        hn::StoreU(hn::IfThenElse(AlphaLanes(d), v, mid), d, dst + i);
    });
}

void ColorizeLowerRampSpan(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n,
                           const float* HWY_RESTRICT lower, const float* HWY_RESTRICT upper,
                           const float* HWY_RESTRICT fill, float gamma, float levels, float invThreshold,
                           float limit) {
    const bool curved = gamma != 1.0f, quantise = levels > 1;
    const float invSteps = quantise ? 1.0f / (levels - 1.0f) : 0.0f;
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        const Planes<decltype(d)> q = LoadPlanes(d, src + 4 * i);
        auto t = Clamp01(d, hn::Mul(q.r, hn::Set(d, invThreshold)));
        // The ramp's power with the library's accuracy (not the fast one): its steps are
        // thresholds, and gamma 2 of ½ should be ¼.
        if (curved) {
            // Log of 0 is not taken: those lanes are 0 anyway.
            const auto logT = hn::Log(d, hn::Max(t, hn::Set(d, 1.17549435e-38f)));
            t = hn::IfThenElseZero(hn::Gt(t, hn::Zero(d)), hn::Exp(d, hn::Mul(hn::Set(d, gamma), logT)));
        }
        if (quantise)
            t = hn::Mul(hn::Min(hn::Floor(hn::Mul(t, hn::Set(d, levels))), hn::Set(d, levels - 1.0f)),
                        hn::Set(d, invSteps));
        const auto inside = hn::Lt(q.r, hn::Set(d, limit));
        auto channel = [&](int c) {
            const auto ramp = hn::MulAdd(hn::Set(d, upper[c] - lower[c]), t, hn::Set(d, lower[c]));
            return hn::IfThenElse(inside, ramp, hn::Set(d, fill[c]));
        };
        StorePlanes(d, Planes<decltype(d)>{channel(0), channel(1), channel(2), channel(3)}, dst + 4 * i);
    });
}

}  // namespace vellari::styles::blobs::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vellari::styles::blobs {
namespace {
VELLARI_SIMD_PROBE("blobs")
}  // namespace

HWY_EXPORT(WinnerTakeAllSpan);
HWY_EXPORT(WinnerTakeAllSaturationSpan);
HWY_EXPORT(WinnerTakeAllMaxThresholdSpan);
HWY_EXPORT(ThresholdInvertSpan);
HWY_EXPORT(ThresholdColorizeSpan);
HWY_EXPORT(QuantizeBandsSpan);
HWY_EXPORT(ColorizeLowerRampSpan);

void winnerTakeAllSpan(const float* src, float* dst, size_t n, WinnerValue value) {
    VELLARI_DISPATCH(WinnerTakeAllSpan)(src, dst, n, value);
}
void winnerTakeAllSaturationSpan(const float* src, float* dst, size_t n, float threshold) {
    VELLARI_DISPATCH(WinnerTakeAllSaturationSpan)(src, dst, n, threshold);
}
void winnerTakeAllMaxThresholdSpan(const float* src, float* dst, size_t n, float threshold) {
    VELLARI_DISPATCH(WinnerTakeAllMaxThresholdSpan)(src, dst, n, threshold);
}
void thresholdInvertSpan(const float* src, float* dst, size_t n, float threshold, bool bgr) {
    VELLARI_DISPATCH(ThresholdInvertSpan)(src, dst, n, threshold, bgr);
}
void thresholdColorizeSpan(const float* src, float* dst, size_t n, float threshold, const float lower[4],
                           const float upper[4]) {
    VELLARI_DISPATCH(ThresholdColorizeSpan)(src, dst, n, threshold, lower, upper);
}
void quantizeBandsSpan(const float* src, float* dst, size_t n, float bands) {
    VELLARI_DISPATCH(QuantizeBandsSpan)(src, dst, n, bands);
}
void colorizeLowerRampSpan(const float* src, float* dst, size_t n, const float lower[4], const float upper[4],
                           const float fill[4], float gamma, float levels, float invThreshold, float limit) {
    VELLARI_DISPATCH(ColorizeLowerRampSpan)(src, dst, n, lower, upper, fill, gamma, levels, invThreshold, limit);
}

}  // namespace vellari::styles::blobs
#endif  // HWY_ONCE
