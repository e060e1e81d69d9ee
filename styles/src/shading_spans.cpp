// Shading span kernels, compiled once per instruction set. The maths is that of the rules
// in shading_kernels.cpp, lane by lane; branches of the per-pixel rules are selects.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "styles/src/shading_spans.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "shading_spans.h"
#include "style_spans-inl.h"
#include "vellari/platform/pixel_vectors-inl.h"
#include "vellari/platform/simd.h"

HWY_BEFORE_NAMESPACE();
namespace vellari::styles::shading::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using namespace vellari::simd::HWY_NAMESPACE;
using namespace vellari::styles::HWY_NAMESPACE;

VELLARI_SIMD_PROBE_KERNEL()

constexpr float kTiny = 1e-6f;

// Straight colour of premultiplied planes, and its hexcone saturation with max and min.
template <class D, class V = hn::Vec<D>>
struct Straight {
    V r, g, b, mx, mn, sat;
};
template <class D>
HWY_INLINE Straight<D> StraightOf(D d, const Planes<D>& q) {
    Straight<D> s;
    const auto inv = SafeInverse(d, q.a);
    s.r = hn::Mul(q.r, inv);
    s.g = hn::Mul(q.g, inv);
    s.b = hn::Mul(q.b, inv);
    s.mx = hn::Max(s.r, hn::Max(s.g, s.b));
    s.mn = hn::Min(s.r, hn::Min(s.g, s.b));
    s.sat = hn::Div(hn::Sub(s.mx, s.mn), hn::Max(s.mx, hn::Set(d, kTiny)));
    return s;
}

template <bool kFade>
HWY_INLINE void NonlinearSaturation(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n, float gain,
                                    float lo, float hi, float fade) {
    const float range = hi - lo, invRange = 1 / range, invFade = kFade ? 1 / fade : 0.0f;
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        Planes<decltype(d)> q = LoadPlanes(d, src + 4 * i);
        const auto s = StraightOf(d, q);
        const auto one = hn::Set(d, 1.0f), vlo = hn::Set(d, lo);
        const auto t = Clamp01(d, hn::Mul(hn::Sub(s.sat, vlo), hn::Set(d, invRange)));
        const auto boosted = hn::MulAdd(hn::Sub(one, PowScalar(d, hn::Sub(one, t), gain)), hn::Set(d, range), vlo);
        const auto inside = hn::And(hn::Ge(s.sat, vlo), hn::Le(s.sat, hn::Set(d, hi)));
        const auto target = hn::IfThenElse(inside, boosted, s.sat);
        auto k = hn::Div(target, hn::Max(s.sat, hn::Set(d, kTiny)));
        if (kFade) k = hn::MulAdd(hn::Sub(k, one), Smoothstep(d, s.sat, 0.0f, invFade), one);
        // mx − (mx − c)·k keeps hue and value.
        q.r = hn::Mul(hn::NegMulAdd(hn::Sub(s.mx, s.r), k, s.mx), q.a);
        q.g = hn::Mul(hn::NegMulAdd(hn::Sub(s.mx, s.g), k, s.mx), q.a);
        q.b = hn::Mul(hn::NegMulAdd(hn::Sub(s.mx, s.b), k, s.mx), q.a);
        StorePlanes(d, q, dst + 4 * i);
    });
}

void NonlinearSaturationSpan(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n, float gain, float lo,
                             float hi, float fade) {
    if (fade > 0)
        NonlinearSaturation<true>(src, dst, n, gain, lo, hi, fade);
    else
        NonlinearSaturation<false>(src, dst, n, gain, lo, hi, 0.0f);
}

void SaturationMaskSpan(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n, float threshold) {
    const float invWidth = 1 / ((threshold + 0.1f) - threshold);
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        const Planes<decltype(d)> q = LoadPlanes(d, src + 4 * i);
        const auto m = hn::Mul(Smoothstep(d, StraightOf(d, q).sat, threshold, invWidth), q.a);
        StoreGrey(d, m, nullptr, dst + 4 * i);
    });
}

// Pixel by pixel in place: each pixel's alphas broadcast across its own four lanes.
void CopyAlphaSpan(const float* HWY_RESTRICT colour, const float* HWY_RESTRICT mask, float* HWY_RESTRICT dst,
                   size_t n) {
    ForEachPixelBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        const auto c = hn::LoadU(d, colour + i);
        const auto ma = hn::Broadcast<3>(hn::LoadU(d, mask + i));
        const auto k = hn::Mul(SafeInverse(d, hn::Broadcast<3>(c)), ma);
        hn::StoreU(hn::IfThenElse(AlphaLanes(d), ma, hn::Mul(c, k)), d, dst + i);
    });
}

void MultipliedColorsSpan(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n,
                          const float* HWY_RESTRICT col) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        Planes<decltype(d)> q = LoadPlanes(d, src + 4 * i);
        const auto inv = SafeInverse(d, q.a), one = hn::Set(d, 1.0f);
        // Each colour's tint mix(1, colour, w) for its strength w; the tints multiply.
        auto r = one, g = one, b = one;
        auto tint = [&](auto strength, const float* c) {
            const auto w = hn::Mul(Clamp01(d, hn::Mul(strength, inv)), hn::Set(d, c[3]));
            r = hn::Mul(r, hn::MulAdd(hn::Set(d, c[0] - 1), w, one));
            g = hn::Mul(g, hn::MulAdd(hn::Set(d, c[1] - 1), w, one));
            b = hn::Mul(b, hn::MulAdd(hn::Set(d, c[2] - 1), w, one));
        };
        tint(q.r, col);
        tint(q.g, col + 4);
        tint(q.b, col + 8);
        q.r = hn::Mul(r, q.a);
        q.g = hn::Mul(g, q.a);
        q.b = hn::Mul(b, q.a);
        StorePlanes(d, q, dst + 4 * i);
    });
}

void MultipliedColorsWinnerTakeAllSpan(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n,
                                       const float* HWY_RESTRICT col) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        Planes<decltype(d)> q = LoadPlanes(d, src + 4 * i);
        const auto inv = SafeInverse(d, q.a), one = hn::Set(d, 1.0f);
        const auto r = Clamp01(d, hn::Mul(q.r, inv)), g = Clamp01(d, hn::Mul(q.g, inv)),
                   b = Clamp01(d, hn::Mul(q.b, inv));
        // Ties go to red, then green.
        const auto redWins = hn::And(hn::Ge(r, g), hn::Ge(r, b));
        const auto greenWins = hn::AndNot(redWins, hn::Ge(g, b));
        const auto v = hn::IfThenElse(redWins, r, hn::IfThenElse(greenWins, g, b));
        auto pick = [&](int c) {
            return hn::IfThenElse(redWins, hn::Set(d, col[c]),
                                  hn::IfThenElse(greenWins, hn::Set(d, col[4 + c]), hn::Set(d, col[8 + c])));
        };
        const auto va = hn::Mul(v, pick(3));
        q.r = hn::Mul(hn::MulAdd(hn::Sub(pick(0), one), va, one), q.a);
        q.g = hn::Mul(hn::MulAdd(hn::Sub(pick(1), one), va, one), q.a);
        q.b = hn::Mul(hn::MulAdd(hn::Sub(pick(2), one), va, one), q.a);
        StorePlanes(d, q, dst + 4 * i);
    });
}

void QuantizeNonLinearSpan(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n, float levels,
                           float gamma) {
    const float top = levels - 1, invTop = 1 / top, invGamma = 1 / gamma;
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        Planes<decltype(d)> q = LoadPlanes(d, src + 4 * i);
        const auto inv = SafeInverse(d, q.a);
        auto step = [&](auto c) {
            const auto u = PowScalar(d, Clamp01(d, hn::Mul(c, inv)), gamma);
            const auto k = hn::Min(hn::Floor(hn::Mul(u, hn::Set(d, levels))), hn::Set(d, top));
            return hn::Mul(PowScalar(d, hn::Mul(k, hn::Set(d, invTop)), invGamma), q.a);
        };
        q.r = step(q.r);
        q.g = step(q.g);
        q.b = step(q.b);
        StorePlanes(d, q, dst + 4 * i);
    });
}

// Each channel to tone[k], k the number of thresholds (ascending) it reaches.
void StepsSpan(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n, const float* HWY_RESTRICT threshold,
               const float* HWY_RESTRICT tone, int steps) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        Planes<decltype(d)> q = LoadPlanes(d, src + 4 * i);
        const auto inv = SafeInverse(d, q.a);
        auto step = [&](auto c) {
            c = Clamp01(d, hn::Mul(c, inv));
            auto v = hn::Set(d, tone[0]);
            for (int j = 0; j < steps; ++j) v = hn::IfThenElse(hn::Ge(c, hn::Set(d, threshold[j])), hn::Set(d, tone[j + 1]), v);
            return hn::Mul(v, q.a);
        };
        q.r = step(q.r);
        q.g = step(q.g);
        q.b = step(q.b);
        StorePlanes(d, q, dst + 4 * i);
    });
}

void PowRangeSpan(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n, float exponent) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        Planes<decltype(d)> q = LoadPlanes(d, src + 4 * i);
        const auto inv = SafeInverse(d, q.a), one = hn::Set(d, 1.0f);
        auto channel = [&](auto c) {
            return hn::Mul(hn::Min(PowScalar(d, Clamp01(d, hn::Mul(c, inv)), exponent), one), q.a);
        };
        q.r = channel(q.r);
        q.g = channel(q.g);
        q.b = channel(q.b);
        StorePlanes(d, q, dst + 4 * i);
    });
}

// Pixel by pixel in place: the red value broadcast across the pixel picks whole colours.
void ColorizeRangesSpan(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n, float lower,
                        const float* HWY_RESTRICT lowerColour, float upper, const float* HWY_RESTRICT upperColour,
                        const float* HWY_RESTRICT otherColour) {
    ForEachPixelBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        const auto v = hn::Broadcast<0>(hn::LoadU(d, src + i));
        const auto high = hn::IfThenElse(hn::Ge(v, hn::Set(d, upper)), hn::LoadDup128(d, upperColour),
                                         hn::LoadDup128(d, otherColour));
        hn::StoreU(hn::IfThenElse(hn::Le(v, hn::Set(d, lower)), hn::LoadDup128(d, lowerColour), high), d, dst + i);
    });
}

}  // namespace vellari::styles::shading::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vellari::styles::shading {
namespace {
VELLARI_SIMD_PROBE("shading")
}  // namespace

HWY_EXPORT(NonlinearSaturationSpan);
HWY_EXPORT(SaturationMaskSpan);
HWY_EXPORT(CopyAlphaSpan);
HWY_EXPORT(MultipliedColorsSpan);
HWY_EXPORT(MultipliedColorsWinnerTakeAllSpan);
HWY_EXPORT(QuantizeNonLinearSpan);
HWY_EXPORT(StepsSpan);
HWY_EXPORT(PowRangeSpan);
HWY_EXPORT(ColorizeRangesSpan);

void nonlinearSaturationSpan(const float* src, float* dst, size_t n, float gain, float lo, float hi, float fade) {
    VELLARI_DISPATCH(NonlinearSaturationSpan)(src, dst, n, gain, lo, hi, fade);
}
void saturationMaskSpan(const float* src, float* dst, size_t n, float threshold) {
    VELLARI_DISPATCH(SaturationMaskSpan)(src, dst, n, threshold);
}
void copyAlphaSpan(const float* colour, const float* mask, float* dst, size_t n) {
    VELLARI_DISPATCH(CopyAlphaSpan)(colour, mask, dst, n);
}
void multipliedColorsSpan(const float* src, float* dst, size_t n, const float colours[12]) {
    VELLARI_DISPATCH(MultipliedColorsSpan)(src, dst, n, colours);
}
void multipliedColorsWinnerTakeAllSpan(const float* src, float* dst, size_t n, const float colours[12]) {
    VELLARI_DISPATCH(MultipliedColorsWinnerTakeAllSpan)(src, dst, n, colours);
}
void quantizeNonLinearSpan(const float* src, float* dst, size_t n, float levels, float gamma) {
    VELLARI_DISPATCH(QuantizeNonLinearSpan)(src, dst, n, levels, gamma);
}
void stepsSpan(const float* src, float* dst, size_t n, const float* threshold, const float* tone, int steps) {
    VELLARI_DISPATCH(StepsSpan)(src, dst, n, threshold, tone, steps);
}
void powRangeSpan(const float* src, float* dst, size_t n, float exponent) {
    VELLARI_DISPATCH(PowRangeSpan)(src, dst, n, exponent);
}
void colorizeRangesSpan(const float* src, float* dst, size_t n, float lower, const float lowerColour[4], float upper,
                        const float upperColour[4], const float otherColour[4]) {
    VELLARI_DISPATCH(ColorizeRangesSpan)(src, dst, n, lower, lowerColour, upper, upperColour, otherColour);
}

}  // namespace vellari::styles::shading
#endif  // HWY_ONCE
